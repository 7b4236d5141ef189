#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "link/history.h"
#include "link/host_link.h"
#include "link/pipe_poll.h"
#include "server/server.h"
#include "sim/fake_platform.h"
#include "test_util.h"

namespace ecub::test {
namespace {

using Texts = std::vector<std::string>;

class PipePoll : public ::testing::Test {
 protected:
  PipePoll() : s(p, "/app") {
    s.MsgTable.resize(3);
    s.MsgTable[0].MsgRequest = "UNFLAGGED";
    s.MsgTable[1].MsgRequest = "TIMED";
    s.MsgTable[1].MsgTimed = true;
    s.MsgTable[2].MsgRequest = "CYCLIC";
    s.MsgTable[2].MsgCyclic = true;
    for (auto& r : s.MsgTable) r.MsgHistoryMax = r.MsgHistoryLeft = 1000;
  }
  void Store(size_t index, const std::string& answer, int times) {
    for (int i = 0; i < times; ++i) ScomponiMessaggio(s, s.MsgTable[index].MsgRequest, answer);
  }
  FakePlatform p;
  Server s;
};

TEST_F(PipePoll, AnswersStoredValuesAtOnceOneMessageAtATimeAndLeavesTheRestToTheMainLoop) {
  Store(1, "ANSWER", 1);
  p.HostSend(HostMsg(6, "TIMED") + HostMsg(0, "later"));
  ControllaRispondiPipe(s);
  EXPECT_EQ(p.TakeReplies(), Texts{Bytes({0, 14, 6, 0, 0, 0, 0, 0}) + "ANSWER"});
  EXPECT_TRUE(s.PendingMessage.empty());
  std::string next;
  TakeHostMessage(s, next);
  EXPECT_EQ(next, HostMsg(0, "later"));
  // A record without an answer yet is answered with empty data, not a transaction.
  p.HostSend(HostMsg(6, "CYCLIC"));
  ControllaRispondiPipe(s);
  EXPECT_EQ(p.TakeReplies(), Texts{Bytes({0, 8, 6, 0, 0, 0, 0, 0})});
  // Other messages wait for the main loop.
  const std::string cases[] = {HostMsg(6, "UNFLAGGED"), HostMsg(6, "NOWHERE"), HostMsg(1),
                               Bytes({7, 0, 0, 0, 0, 0, 0}), HostMsg(7)};
  for (const std::string& message : cases) {
    s.PendingMessage.clear();
    p.HostSend(message);
    ControllaRispondiPipe(s);
    EXPECT_EQ(s.PendingMessage, message);
  }
  EXPECT_TRUE(p.replies.empty());
}

TEST_F(PipePoll, HistoryIsReturnedAndEmptied) {
  Store(2, "ABCDEF", 3);
  p.HostSend(HostMsg(7, "CYCLIC"));
  ControllaRispondiPipe(s);
  ASSERT_EQ(p.replies.size(), 1u);
  const std::string data = p.replies[0].substr(8);
  ASSERT_EQ(data.size(), 4u + 3 * 10);
  EXPECT_EQ(data.substr(0, 4), Bytes({10, 0, 0, 0}));
  EXPECT_EQ(data.substr(8, 6), "ABCDEF");
  EXPECT_EQ(s.MsgTable[2].MsgHistoryLeft, 1000);
  p.HostSend(HostMsg(7, "CYCLIC"));
  ControllaRispondiPipe(s);
  EXPECT_EQ(p.replies[1].substr(8), Bytes({10, 0, 0, 0}));
}

// Answers of two lengths (a short error frame now and then): every block ends on an entry
// boundary, the places are given back per entry taken, and the blocks together give back the
// history exactly. The first block's next entry would end 2 bytes past its room.
TEST(TakeHistory, BlocksEndOnEntryBoundariesWhenAnswerLengthsDiffer) {
  FakePlatform p;
  Server s(p, "/app");
  MsgRecord& r = s.MsgTable[0];
  r.MsgRequest = "Q";
  r.MsgHistoryMax = r.MsgHistoryLeft = 1000;
  std::vector<size_t> boundaries{0};
  for (int i = 0; i < 700; ++i) {
    p.Advance(1000);
    const std::string answer = i % 7 == 3 ? "FAIL" : "ANSWER-" + std::to_string(1000 + i);
    ScomponiMessaggio(s, "Q", answer);
    boundaries.push_back(boundaries.back() + 4 + answer.size());
  }
  const std::string all = r.MsgHistory;
  ASSERT_GT(all.size(), 2 * 4084u);
  std::string joined;
  for (int block = 0; block < 3; ++block) {
    const std::string data = TakeHistory(s, 0);
    EXPECT_EQ(data.substr(0, 4), Bytes({15, 0, 0, 0}));  // the last answer's entry size
    // As many whole entries as fit in 4084 bytes, from where the last block ended.
    const size_t limit = std::min(all.size(), joined.size() + 4084);
    const auto end = std::prev(std::upper_bound(boundaries.begin(), boundaries.end(), limit));
    joined += data.substr(4);
    EXPECT_EQ(joined.size(), *end) << block;
    EXPECT_EQ(r.MsgHistoryLeft, 300 + (end - boundaries.begin())) << block;
  }
  EXPECT_TRUE(joined == all);
  EXPECT_TRUE(r.MsgHistory.empty());
}

}  // namespace
}  // namespace ecub::test
