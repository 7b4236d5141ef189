#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host/server.h"
#include "platform/fake/fake_platform.h"
#include "protocol/hex.h"
#include "service/traffic_log.h"

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

TEST_F(LogLineTest, CommandFrameGetsNameLineThenTimedLine) {
  p.Advance(1523000);
  LogLine(s, "T ", "4100050C0102034F");
  p.Advance(38000);
  LogLine(s, "R ", "44000503AA55");
  EXPECT_EQ(Lines(),
            "CMD_READ_MEM1\r\n"
            "1523 T 4100050C0102034F\r\n"
            "1561 R 44000503AA55\r\n");
}

TEST_F(LogLineTest, FrameCodeWithoutNameGetsFallbackLine) {
  LogLine(s, "T ", "41000500");    // code 0
  LogLine(s, "T ", "41000579AB");  // code 121
  LogLine(s, "T ", "410005ZZ");    // not hex
  LogLine(s, "T ", "41000521");    // exactly 8 characters
  EXPECT_EQ(Lines(),
            " XXXXXXXXXX \r\n0 T 41000500\r\n"
            " XXXXXXXXXX \r\n0 T 41000579AB\r\n"
            " XXXXXXXXXX \r\n0 T 410005ZZ\r\n"
            "CMD_READ_FIRMWARE\r\n0 T 41000521\r\n");
}

TEST_F(LogLineTest, OtherTextsAreWrittenAsTheyAre) {
  LogLine(s, "T ", "4100050");  // one character short of a command byte
  LogLine(s, "COMUNICATION ERROR:", "ECO COMANDO");
  LogLine(s, "ClearCommError Recive", " ");
  LogLine(s, "RX ESITO_CKSUM", "");
  LogLine(s, "R ", "");
  EXPECT_EQ(Lines(),
            "0 T 4100050\r\n"
            "0 COMUNICATION ERROR:ECO COMANDO\r\n"
            "0 ClearCommError Recive \r\n"
            "0 RX ESITO_CKSUM\r\n"
            "0 R \r\n");
}

TEST_F(LogLineTest, ElapsedMillisecondsRoundHalfToEven) {
  for (double usec : {500.0, 1500.0, 2500.0, 3500.0, 3499.0}) {
    s.StartTime_usec = p.NowUsec() - usec;
    LogLine(s, "R ", "");
  }
  EXPECT_EQ(Lines(), "0 R \r\n2 R \r\n2 R \r\n4 R \r\n3 R \r\n");
}

TEST_F(LogLineTest, LogOffWritesNothing) {
  s.settings.LOG = false;
  LogLine(s, "T ", "4100050C0102034F");
  LogLine(s, "FT_Open Error#", "3");
  EXPECT_EQ(p.files[kLog], kFirstLine);
}

TEST_F(LogLineTest, LinesAreDroppedSilentlyWhenTheLogCannotBeWritten) {
  p.CloseOpenFile(s.log.file);  // every write on the handle now fails
  LogLine(s, "T ", "4100050C0102034F");
  ChiudiLog(s);
  EXPECT_EQ(s.log.file, -1);
  LogLine(s, "R ", "44");
  EXPECT_EQ(p.files[kLog], kFirstLine);
  EXPECT_TRUE(p.messages.empty());
}

TEST(TrafficLog, DatedNameHasZeroPaddedFields) {
  EXPECT_EQ(DatedLogName(2025, 3, 5, 9, 7, 3), "RxTx_20250305_090703.TXT");
  EXPECT_EQ(DatedLogName(1999, 12, 31, 23, 59, 59), "RxTx_19991231_235959.TXT");
}

TEST(TrafficLog, FirstStartMakesNoCopyAndHoldsOnlyTheFirstLine) {
  for (bool keep_all : {false, true}) {
    FakePlatform p;
    p.read_step_ns = 0;
    Server s(p, "/app");
    s.settings.LOG = true;
    s.settings.APPEND_LOG = keep_all;
    ApriLog(s);
    ASSERT_EQ(p.files.size(), 1u);
    EXPECT_EQ(p.files[kLog], kFirstLine);
    EXPECT_NE(s.log.file, -1);
    ChiudiLog(s);
    EXPECT_EQ(s.log.file, -1);
    EXPECT_TRUE(p.open_files.empty());
  }
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

TEST(TrafficLog, OverwriteRuleKeepsOnlyThePreviousRun) {
  FakePlatform p;
  StartRun(p, false, "run1");
  StartRun(p, false, "run2");
  EXPECT_TRUE(Holds(p, kLast, "run1"));
  StartRun(p, false, "run3");
  EXPECT_TRUE(Holds(p, kLast, "run2"));
  EXPECT_FALSE(Holds(p, kLast, "run1"));
  EXPECT_TRUE(Holds(p, kLog, "run3"));
  EXPECT_FALSE(Holds(p, kLog, "run2"));
  EXPECT_EQ(p.files.size(), 2u);
}

TEST(TrafficLog, KeepAllRuleAddsOneDatedCopyPerStart) {
  FakePlatform p;
  StartRun(p, true, "run1");
  p.local_now.second = 4;
  StartRun(p, true, "run2");
  p.local_now.minute = 8;
  StartRun(p, true, "run3");
  EXPECT_TRUE(Holds(p, "/app/RxTx_20250305_090704.TXT", "run1"));
  EXPECT_TRUE(Holds(p, "/app/RxTx_20250305_090804.TXT", "run2"));
  EXPECT_TRUE(Holds(p, kLog, "run3"));
  EXPECT_EQ(p.files.size(), 3u);
}

TEST(TrafficLog, KeepAllStartsInTheSameSecondReplaceTheCopy) {
  FakePlatform p;
  StartRun(p, true, "run1");
  StartRun(p, true, "run2");
  StartRun(p, true, "run3");
  EXPECT_TRUE(Holds(p, "/app/RxTx_20250305_090703.TXT", "run2"));
  EXPECT_FALSE(Holds(p, "/app/RxTx_20250305_090703.TXT", "run1"));
  EXPECT_EQ(p.files.size(), 2u);
}

// With LOG off start-up never opens the log; the line writer must not touch it either.
TEST(TrafficLog, LogOffLeavesAnEarlierLogUntouched) {
  FakePlatform p;
  p.files[kLog] = "old\r\n";
  Server s(p, "/app");
  s.settings.APPEND_LOG = true;
  LogLine(s, "T ", "4100050C0102034F");
  ChiudiLog(s);
  EXPECT_EQ(p.files.size(), 1u);
  EXPECT_EQ(p.files[kLog], "old\r\n");
}

TEST(TrafficLog, FailedCopyKeepsTheOldLogAheadOfTheNewOne) {
  for (bool copy_fails : {true, false}) {
    FakePlatform p;
    p.files[kLog] = "old\r\n";
    p.copy_fails = copy_fails;
    if (!copy_fails) p.locked.insert(kLast);  // destination held by another process
    Server s(p, "/app");
    s.settings.LOG = true;
    ApriLog(s);
    LogLine(s, "R ", "new");
    EXPECT_EQ(p.files.count(kLast), 0u);
    EXPECT_EQ(p.files[kLog].rfind("old\r\n0 TimerApi_uSec ", 0), 0u);
    EXPECT_TRUE(Holds(p, kLog, "new"));
  }
}

TEST(TrafficLog, ACopyCutShortLeavesTheEarlierCopyWhole) {
  // Which of the calls of the start is the copy.
  FakePlatform dry;
  dry.record_fault_points = true;
  dry.files[kLog] = "old\r\n";
  Server dry_server(dry, "/app");
  dry_server.settings.LOG = true;
  ApriLog(dry_server);
  const auto& names = dry.fault_point_names;
  const auto copy = std::find(names.begin(), names.end(), "CopyFileReplace");
  ASSERT_NE(copy, names.end());

  FakePlatform p;
  p.fail_point = copy - names.begin() + 1;  // the disk fills up halfway through the copy
  p.files[kLog] = "old\r\n";
  p.files[kLast] = "older\r\n";
  Server s(p, "/app");
  s.settings.LOG = true;
  ApriLog(s);
  EXPECT_EQ(p.failed_call, "CopyFileReplace");
  EXPECT_EQ(p.files[kLast], "older\r\n");
  EXPECT_EQ(p.files[kLog].rfind("old\r\n0 TimerApi_uSec ", 0), 0u);
}

TEST(TrafficLog, UncreatableLogMeansNoLogAndNoMessage) {
  FakePlatform p;
  p.files[kLog] = "old\r\n";
  p.locked.insert(kLog);
  Server s(p, "/app");
  s.settings.LOG = true;
  ApriLog(s);
  EXPECT_EQ(s.log.file, -1);
  EXPECT_TRUE(p.messages.empty());
  EXPECT_EQ(p.files[kLast], "old\r\n");  // the previous log is still saved
  LogLine(s, "T ", "4100050C0102034F");
  EXPECT_EQ(p.files[kLog], "old\r\n");
  ChiudiLog(s);
  EXPECT_EQ(s.log.file, -1);
}

}  // namespace
}  // namespace ecub
