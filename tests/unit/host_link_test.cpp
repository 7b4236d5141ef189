#include <gtest/gtest.h>

#include "host/clock.h"
#include "host/host_link.h"
#include "host/main_loop.h"
#include "host/server.h"
#include "platform/fake/fake_platform.h"
#include "test_util.h"

namespace ecub {
namespace {

using test::At;
using test::Bytes;
using test::HostMsg;

struct Parsed {
  int32_t result;
  int32_t code;
  std::string argument;
};

Parsed Parse(const std::string& message) {
  Parsed p{};
  p.result = ParseHostMessage(message, p.code, p.argument);
  return p;
}

TEST(ParseHostMessage, LengthFieldCountsHighPartInUnitsOf255) {
  EXPECT_EQ(Parse(HostMsg(0)).result, kParseOk);
  std::string m300 = HostMsg(0, std::string(292, 'x'));
  ASSERT_EQ(m300.size(), 300u);
  EXPECT_EQ(At(m300, 0), 45);
  EXPECT_EQ(At(m300, 1), 1);
  EXPECT_EQ(Parse(m300).result, kParseOk);
  EXPECT_EQ(Parse(m300).argument.size(), 292u);
  m300[0] = 44;
  EXPECT_EQ(Parse(m300).result, kParseLength);
  // lo = 255 with hi one lower announces the same length.
  std::string m510 = HostMsg(0, std::string(502, 'y'));
  m510[0] = static_cast<char>(255);
  m510[1] = 1;
  EXPECT_EQ(Parse(m510).result, kParseOk);

  const Parsed short_msg = Parse(Bytes({7, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(short_msg.result, kParseLength);
  EXPECT_EQ(short_msg.code, -1);
  EXPECT_TRUE(short_msg.argument.empty());
}

TEST(ParseHostMessage, CodeOutsideTheInstructionSet) {
  for (int code : {15, 255}) {
    const Parsed p = Parse(HostMsg(code, "abc"));
    EXPECT_EQ(p.result, kParseCode);
    EXPECT_EQ(p.code, code);
    EXPECT_TRUE(p.argument.empty());
  }
}

TEST(ParseHostMessage, ArgumentRulesPerInstruction) {
  // No argument taken, extra bytes ignored.
  for (int code : {1, 2, 5}) {
    const Parsed p = Parse(HostMsg(code, "extra"));
    EXPECT_EQ(p.result, kParseOk) << code;
    EXPECT_TRUE(p.argument.empty()) << code;
  }
  EXPECT_EQ(Parse(HostMsg(0)).argument, "");
  EXPECT_EQ(Parse(HostMsg(0, "AB")).argument, "AB");
  // One byte, later ones ignored.
  EXPECT_EQ(Parse(HostMsg(3, "\x05\x06")).argument, "\x05");
  EXPECT_EQ(Parse(HostMsg(4)).result, kParseArgument);
  // Two bytes.
  EXPECT_EQ(Parse(HostMsg(11, "\x01")).result, kParseArgument);
  EXPECT_EQ(Parse(HostMsg(11, "\x02\x01\x07\x08")).argument, "\x02\x01");
  // Exactly twenty bytes.
  EXPECT_EQ(Parse(HostMsg(12, std::string(19, 'd'))).result, kParseArgument);
  EXPECT_EQ(Parse(HostMsg(12, std::string(21, 'd'))).result, kParseArgument);
  const Parsed twenty = Parse(HostMsg(12, "0123456789abcdefghij"));
  EXPECT_EQ(twenty.result, kParseOk);
  EXPECT_EQ(twenty.argument, "0123456789abcdefghij");
  // At least one byte, all taken.
  for (int code : {6, 7, 8, 9, 10, 13, 14}) {
    EXPECT_EQ(Parse(HostMsg(code)).result, kParseArgument) << code;
    EXPECT_TRUE(Parse(HostMsg(code)).argument.empty()) << code;
    EXPECT_EQ(Parse(HostMsg(code, "xyz")).argument, "xyz") << code;
  }
}

TEST(BuildReply, HeaderBytes) {
  EXPECT_EQ(BuildReply(0, 1, 0, 2, 5, 0, "AB"), Bytes({0, 10, 0, 1, 0, 2, 5, 0, 0x41, 0x42}));
  const std::string big = BuildReply(7, 0, 0, 0, 0, 0, std::string(300, 'z'));
  EXPECT_EQ(big.size(), 308u);
  EXPECT_EQ(At(big, 0), 1);
  EXPECT_EQ(At(big, 1), 52);
  // Values that do not fit a byte leave their field at 0.
  EXPECT_EQ(BuildReply(-1, 3, 0, 4, 6, 1, ""), Bytes({0, 8, 0, 3, 0, 4, 6, 1}));
  EXPECT_EQ(BuildReply(300, 0, 0, 0, 0, 256, "").substr(2), Bytes({0, 0, 0, 0, 0, 0}));
  // Data beyond the 16-bit length field is cut rather than wrapping the length.
  const std::string huge = BuildReply(0, 0, 0, 0, 0, 0, std::string(70000, 'h'));
  EXPECT_EQ(huge.size(), 65535u);
  EXPECT_EQ(At(huge, 0), 0xFF);
  EXPECT_EQ(At(huge, 1), 0xFF);
}

TEST(HistoryTimeBytes, HalvesLowFirstEachHighByteFirst) {
  EXPECT_EQ(HistoryTimeBytes(70000), Bytes({0x11, 0x70, 0x00, 0x01}));
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
  EXPECT_EQ(s.MsgTable[1].MsgLastAnswer, "ANSWER");
  EXPECT_EQ(s.MsgTable[1].MsgLastTime_ms, 70000);
  EXPECT_EQ(s.MsgTable[1].MsgHistory, Bytes({0x11, 0x70, 0x00, 0x01}) + "ANSWER");
  EXPECT_EQ(s.MsgTable[1].MsgHistoryLeft, 2);
  EXPECT_TRUE(s.MsgTable[2].MsgLastAnswer.empty());
  EXPECT_TRUE(s.MsgTable[0].MsgHistory.empty());
}

TEST_F(StoredAnswers, HistoryKeepsTheLastMaxEntries) {
  for (int i = 1; i <= 5; ++i) {
    p.Advance(1000);  // 1 ms apart
    ScomponiMessaggio(s, "REQ0", "ANSWR" + std::to_string(i));
  }
  const MsgRecord& r = s.MsgTable[0];
  EXPECT_EQ(r.MsgHistoryLeft, 0);
  ASSERT_EQ(r.MsgHistory.size(), 30u);
  EXPECT_EQ(r.MsgHistory.substr(4, 6), "ANSWR3");
  EXPECT_EQ(r.MsgHistory.substr(0, 4), HistoryTimeBytes(3));
  EXPECT_EQ(r.MsgHistory.substr(24, 6), "ANSWR5");
}

// A unit that now and then answers a short error frame: the oldest entry dropped is the whole
// oldest entry, whatever the length of the answer that pushed it out.
TEST_F(StoredAnswers, OldestEntryIsDroppedWholeWhenAnswerLengthsDiffer) {
  const std::string answers[] = {"SHORT1", "A-LONGER-ANSWER-2", "S3", "A-LONGER-ANSWER-4", "SHORT5",
                                 "S6"};
  std::vector<std::string> entries;
  for (const std::string& answer : answers) {
    p.Advance(1000);
    ScomponiMessaggio(s, "REQ0", answer);
    entries.push_back(HistoryTimeBytes(s.MsgTable[0].MsgLastTime_ms) + answer);
    const size_t n = entries.size();
    std::string expected;
    for (size_t i = n > 3 ? n - 3 : 0; i < n; ++i) expected += entries[i];
    EXPECT_EQ(s.MsgTable[0].MsgHistory, expected) << n;
  }
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
  EXPECT_EQ(r.MsgLastAnswer, "ANSWER");
  EXPECT_EQ(r.MsgLastTime_ms, 0);
  EXPECT_EQ(r.MsgHistory, HistoryTimeBytes(0) + "ANSWER");
  EXPECT_EQ(r.MsgHistoryLeft, 2);
}

TEST_F(StoredAnswers, ZeroPlacesKeepOnlyTheLastAnswer) {
  s.MsgTable[0].MsgHistoryMax = s.MsgTable[0].MsgHistoryLeft = 0;
  ScomponiMessaggio(s, "REQ0", "A1");
  ScomponiMessaggio(s, "REQ0", "A2");
  EXPECT_EQ(s.MsgTable[0].MsgLastAnswer, "A2");
  EXPECT_TRUE(s.MsgTable[0].MsgHistory.empty());
}

TEST_F(StoredAnswers, UnknownRequestChangesNothing) {
  ScomponiMessaggio(s, "REQ9", "X");
  ScomponiMessaggio(s, "REQ", "X");  // a prefix is not a match
  for (const auto& r : s.MsgTable) {
    EXPECT_TRUE(r.MsgLastAnswer.empty());
    EXPECT_TRUE(r.MsgHistory.empty());
  }
}

}  // namespace
}  // namespace ecub
