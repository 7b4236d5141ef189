#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "codec/hex.h"
#include "server/server.h"
#include "server/traffic_log.h"
#include "sim/fake_platform.h"

namespace ecub {
namespace {

constexpr const char* kLog = "/app/RxTx.TXT";
constexpr const char* kLast = "/app/Last_RxTx.TXT";
// The fake counter starts 1000 s after its origin.
constexpr const char* kFirstLine = "0 TimerApi_uSec 1000000 Now 05/03/2025 09:07:03\r\n";

// A started server with LOG on, a frozen clock and the clock origin at "now".
class LogLineTest : public ::testing::Test {
 protected:
  LogLineTest() {
    p.read_step_ns = 0;
    s.settings.LOG = true;
    ApriLog(s);
    s.StartTime_usec = p.NowUsec();
  }
  // The log without its first line.
  std::string Lines() { return p.files[kLog].substr(std::string(kFirstLine).size()); }

  FakePlatform p;
  Server s{p, "/app"};
};

// A frame sent to the unit gets a line naming its command before it; anything else is written
// as it is.
TEST_F(LogLineTest, LinesAsWritten) {
  // Label, text, the lines written.
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"T ", "4100050C0102034F", "CMD_READ_MEM1\r\n0 T 4100050C0102034F\r\n"},
      {"R ", "44000503AA55", "0 R 44000503AA55\r\n"},
      {"T ", "41000500", " XXXXXXXXXX \r\n0 T 41000500\r\n"},       // code 0
      {"T ", "41000579AB", " XXXXXXXXXX \r\n0 T 41000579AB\r\n"},   // code 121
      {"T ", "410005ZZ", " XXXXXXXXXX \r\n0 T 410005ZZ\r\n"},       // not hex
      {"T ", "41000521", "CMD_READ_FIRMWARE\r\n0 T 41000521\r\n"},  // exactly 8 characters
      {"T ", "4100050", "0 T 4100050\r\n"},  // one character short of a command byte
      {"COMUNICATION ERROR:", "ECO COMANDO", "0 COMUNICATION ERROR:ECO COMANDO\r\n"},
      {"ClearCommError Recive", " ", "0 ClearCommError Recive \r\n"},
      {"RX ESITO_CKSUM", "", "0 RX ESITO_CKSUM\r\n"},
      {"R ", "", "0 R \r\n"},
  };
  for (const auto& [label, text, lines] : cases) {
    const size_t before = p.files[kLog].size();
    LogLine(s, label, text);
    EXPECT_EQ(p.files[kLog].substr(before), lines) << label << text;
  }
}

TEST_F(LogLineTest, ElapsedMillisecondsRoundHalfToEven) {
  for (double usec : {500.0, 1500.0, 2500.0, 3500.0, 3499.0}) {
    s.StartTime_usec = p.NowUsec() - usec;
    LogLine(s, "R ", "");
  }
  EXPECT_EQ(Lines(), "0 R \r\n2 R \r\n2 R \r\n4 R \r\n3 R \r\n");
}

// With the log off nothing is written; a log that cannot be written drops its lines silently.
TEST_F(LogLineTest, LogOffOrUnwritableWritesNothing) {
  s.settings.LOG = false;
  LogLine(s, "T ", "4100050C0102034F");
  LogLine(s, "FT_Open Error#", "3");
  EXPECT_EQ(p.files[kLog], kFirstLine);
  s.settings.LOG = true;
  p.CloseOpenFile(s.log.file);  // every write on the handle now fails
  LogLine(s, "T ", "4100050C0102034F");
  ChiudiLog(s);
  EXPECT_EQ(s.log.file, -1);
  LogLine(s, "R ", "44");
  EXPECT_EQ(p.files[kLog], kFirstLine);
  EXPECT_TRUE(p.messages.empty());
}

TEST(TrafficLog, FirstLineClockRoundsHalfToEven) {
  FakePlatform p;
  p.read_step_ns = 0;
  p.now_ns = 1'000'002'500'000;  // 1000002.5 ms
  p.local_now = {2024, 12, 31, 23, 59, 58};
  Server s(p, "/app");
  ApriLog(s);
  EXPECT_EQ(p.files[kLog], "0 TimerApi_uSec 1000002 Now 31/12/2024 23:59:58\r\n");
  p.now_ns = 3'500'000;  // 3.5 ms
  ApriLog(s);
  EXPECT_EQ(p.files[kLog], "0 TimerApi_uSec 4 Now 31/12/2024 23:59:58\r\n");
}

// One run of the server: start, log one marker line, shut down.
void StartRun(FakePlatform& p, bool keep_all, const std::string& marker) {
  Server s(p, "/app");
  s.settings.LOG = true;
  s.settings.APPEND_LOG = keep_all;
  ApriLog(s);
  LogLine(s, "R ", marker);
  ChiudiLog(s);
}

bool Holds(FakePlatform& p, const std::string& path, const std::string& marker) {
  return p.files.count(path) && p.files[path].find("R " + marker + "\r\n") != std::string::npos;
}

// Each start copies the log before it to a name dated with the start; two starts in the same
// second replace that copy.
TEST(TrafficLog, KeepAllRuleAddsOneDatedCopyPerStart) {
  FakePlatform p;
  for (const char* run : {"run1", "run2", "run3"}) StartRun(p, true, run);
  p.local_now.second = 4;
  StartRun(p, true, "run4");
  p.local_now.minute = 8;
  StartRun(p, true, "run5");
  EXPECT_TRUE(Holds(p, "/app/RxTx_20250305_090703.TXT", "run2"));
  EXPECT_FALSE(Holds(p, "/app/RxTx_20250305_090703.TXT", "run1"));
  EXPECT_TRUE(Holds(p, "/app/RxTx_20250305_090704.TXT", "run3"));
  EXPECT_TRUE(Holds(p, "/app/RxTx_20250305_090804.TXT", "run4"));
  EXPECT_TRUE(Holds(p, kLog, "run5"));
  EXPECT_EQ(p.files.size(), 4u);
}

}  // namespace
}  // namespace ecub
