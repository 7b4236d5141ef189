#include <gtest/gtest.h>

#include <tuple>

#include "app/main_loop.h"
#include "link/host_link.h"
#include "server/clock.h"
#include "server/server.h"
#include "sim/fake_platform.h"
#include "test_util.h"

namespace ecub::test {
namespace {

TEST(ParseHostMessage, ArgumentRulesPerInstruction) {
  // Code, argument, result, the argument as parsed.
  using Case = std::tuple<int, std::string, int32_t, std::string>;
  std::vector<Case> cases = {
      {0, "", kParseOk, ""},
      {0, "AB", kParseOk, "AB"},
      {3, "\x05\x06", kParseOk, "\x05"},  // one byte, later ones ignored
      {4, "", kParseArgument, ""},
      {11, "\x01", kParseArgument, ""},  // two bytes
      {11, "\x02\x01\x07\x08", kParseOk, "\x02\x01"},
      {12, std::string(19, 'd'), kParseArgument, ""},  // exactly twenty bytes
      {12, std::string(21, 'd'), kParseArgument, ""},
      {12, "0123456789abcdefghij", kParseOk, "0123456789abcdefghij"},
      {15, "abc", kParseCode, ""},  // outside the instruction set
      {255, "abc", kParseCode, ""}};
  for (int code : {1, 2, 5}) cases.push_back({code, "extra", kParseOk, ""});  // extra ignored
  for (int code : {6, 7, 8, 9, 10, 13, 14}) {  // at least one byte, all taken
    cases.push_back({code, "", kParseArgument, ""});
    cases.push_back({code, "xyz", kParseOk, "xyz"});
  }
  for (const auto& [code, argument, result, expected] : cases) {
    SCOPED_TRACE(code);
    int32_t parsed_code = -1;
    std::string parsed = "stale";
    EXPECT_EQ(ParseHostMessage(HostMsg(code, argument), parsed_code, parsed), result);
    EXPECT_EQ(parsed_code, code);
    EXPECT_EQ(parsed, expected);
  }
}

TEST(BuildReply, HeaderBytes) {
  EXPECT_EQ(BuildReply(0, 1, 0, 2, 5, 0, "AB"), Bytes({0, 10, 0, 1, 0, 2, 5, 0, 0x41, 0x42}));
  EXPECT_EQ(BuildReply(7, 0, 0, 0, 0, 0, std::string(300, 'z')),
            Bytes({1, 52, 7, 0, 0, 0, 0, 0}) + std::string(300, 'z'));
  // Values that do not fit a byte leave their field at 0.
  EXPECT_EQ(BuildReply(-1, 3, 0, 4, 6, 1, ""), Bytes({0, 8, 0, 3, 0, 4, 6, 1}));
  EXPECT_EQ(BuildReply(300, 0, 0, 0, 0, 256, "").substr(2), Bytes({0, 0, 0, 0, 0, 0}));
  // Data beyond the 16-bit length field is cut rather than wrapping the length.
  EXPECT_TRUE(BuildReply(0, 0, 0, 0, 0, 0, std::string(70000, 'h')) ==
              Bytes({0xFF, 0xFF, 0, 0, 0, 0, 0, 0}) + std::string(65535 - 8, 'h'));
  // History time stamps: the halves low first, each half high byte first.
  EXPECT_EQ(HistoryTimeBytes(-1), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

class StoredAnswers : public ::testing::Test {
 protected:
  StoredAnswers() : s(p, "/app") {
    p.read_step_ns = 0;
    s.StartTime_usec = TimerApi_uSec(s);
    s.MsgTable.resize(3);
    s.MsgTable[0].MsgRequest = "REQ0";
    s.MsgTable[1].MsgRequest = "REQ1";
    s.MsgTable[2].MsgRequest = "REQ1";  // a duplicate: answers go to the lower index
    for (auto& r : s.MsgTable) r.MsgHistoryMax = r.MsgHistoryLeft = 3;
  }
  FakePlatform p;
  Server s;
};

TEST_F(StoredAnswers, EntryCarriesTheTimeStampAndTheAnswer) {
  p.Advance(70000 * 1000.0);
  ScomponiMessaggio(s, "REQ1", "ANSWER");
  const MsgRecord& r = s.MsgTable[1];
  EXPECT_EQ(std::tuple(r.MsgLastAnswer, r.MsgLastTime_ms, r.MsgHistory, r.MsgHistoryLeft),
            std::tuple("ANSWER", 70000, Bytes({0x11, 0x70, 0x00, 0x01}) + "ANSWER", 2));
  EXPECT_TRUE(s.MsgTable[2].MsgLastAnswer.empty());
  EXPECT_TRUE(s.MsgTable[0].MsgHistory.empty());
  // Neither an unknown request nor a prefix of a known one is stored.
  ScomponiMessaggio(s, "REQ9", "X");
  ScomponiMessaggio(s, "REQ", "X");
  EXPECT_TRUE(s.MsgTable[0].MsgLastAnswer.empty());
  EXPECT_EQ(s.MsgTable[1].MsgLastAnswer, "ANSWER");
  // Zero places keep only the last answer.
  s.MsgTable[0].MsgHistoryMax = s.MsgTable[0].MsgHistoryLeft = 0;
  ScomponiMessaggio(s, "REQ0", "A1");
  ScomponiMessaggio(s, "REQ0", "A2");
  EXPECT_EQ(s.MsgTable[0].MsgLastAnswer, "A2");
  EXPECT_TRUE(s.MsgTable[0].MsgHistory.empty());
}

// A unit that now and then answers a short error frame: the history keeps the last entries and
// the oldest entry dropped is the whole oldest entry, whatever the length of the answer that
// pushed it out.
TEST_F(StoredAnswers, OldestEntryIsDroppedWholeWhenAnswerLengthsDiffer) {
  const std::string answers[] = {"SHORT1", "A-LONGER-ANSWER-2", "S3", "A-LONGER-ANSWER-4", "SHORT5",
                                 "S6"};
  std::vector<std::string> entries;
  for (const std::string& answer : answers) {
    p.Advance(1000);
    ScomponiMessaggio(s, "REQ0", answer);
    entries.push_back(HistoryTimeBytes(static_cast<int32_t>(entries.size() + 1)) + answer);
    const size_t n = entries.size();
    std::string expected;
    for (size_t i = n > 3 ? n - 3 : 0; i < n; ++i) expected += entries[i];
    EXPECT_EQ(s.MsgTable[0].MsgHistory, expected) << n;
  }
  EXPECT_EQ(s.MsgTable[0].MsgHistoryLeft, 0);
}

// A step that fails is shown, and the steps after it still run.
TEST_F(StoredAnswers, AFailingStepIsShownAndTheOthersStillRun) {
  p.Advance(5000);
  p.throwing_calls.insert("QueryPerformanceCounter");  // the time stamp cannot be taken
  ScomponiMessaggio(s, "REQ0", "ANSWER");
  p.throwing_calls.clear();
  EXPECT_EQ(p.messages, std::vector<std::string>{
                            "ecubridge|ScomponiMessaggio_ErrQueryPerformanceCounter threw"});
  const MsgRecord& r = s.MsgTable[0];
  EXPECT_EQ(std::tuple(r.MsgLastAnswer, r.MsgLastTime_ms, r.MsgHistory, r.MsgHistoryLeft),
            std::tuple("ANSWER", 0, HistoryTimeBytes(0) + "ANSWER", 2));
}

}  // namespace
}  // namespace ecub::test
