#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <tuple>

#include "app/polling.h"
#include "server_fixture.h"

namespace ecub::test {
namespace {

class Polling : public ServerFixture {
 protected:
  // Requests the unit received after the port search, by their tag byte (data byte 0).
  std::vector<int> PolledTags(const EcuSim& unit) const {
    std::vector<int> tags;
    for (const auto& r : unit.requests()) {
      if (r.command == EcuSim::kCmdReadMem1) tags.push_back(At(r.frame, 4));
    }
    return tags;
  }
};

TEST_F(Polling, TimedMessagesGoOutByTheirPeriods) {
  EcuSim& unit =
      Linked(1, "[Idle_usec]\r\n0\r\n" + MsgSection(LiveRequest(0), true, 1000, 10, false) +
                    MsgSection(LiveRequest(1), true, 200, 10, false));
  EXPECT_EQ(PolledTags(unit), (std::vector<int>{0, 1}));  // each sent once by the search
  // A watched program is looked for every 5 s, not on every polling pass.
  p.processes = {"host.exe"};
  Ask(HostMsg(14, "host.exe"));
  RunFor(60e6);
  EXPECT_NEAR(p.process_list_calls, 12, 1);
  std::map<int, int> counts;
  for (int tag : PolledTags(unit)) ++counts[tag];
  EXPECT_NEAR(counts[0], 61, 2);
  EXPECT_NEAR(counts[1], 301, 8);
  // The stored answer is the unit's latest answer to that message.
  const auto& requests = unit.requests();
  ASSERT_EQ(requests.size(), unit.answers().size());
  size_t last = requests.size() - 1;
  while (At(requests[last].frame, 4) != 1) --last;
  EXPECT_EQ(s.MsgTable[1].MsgLastAnswer, unit.answers()[last]);
}

// In timed mode the host gets the stored answer of a timed message; the unit is not asked.
TEST_F(Polling, TimedModeAnswersFromTheStoredAnswer) {
  EcuSim& unit = Linked(1, MsgSection(LiveRequest(0), true, 10000, 10, false));
  const size_t asked = unit.requests().size();
  EXPECT_GE(NextPollDue(s), p.NowUsec() + 9e6);  // its period counts from the connect
  ASSERT_FALSE(s.MsgTable[0].MsgLastAnswer.empty());
  EXPECT_EQ(Ask(HostMsg(6, LiveRequest(0))).substr(8), s.MsgTable[0].MsgLastAnswer);
  EXPECT_EQ(unit.requests().size(), asked);
}

// Both due: the one waiting longer goes first, whichever its index; the lower index on a tie.
TEST_F(Polling, MostOverdueFirst) {
  EcuSim& unit = Linked(1, MsgSection(LiveRequest(0), true, 1000, 10, false) +
                               MsgSection(LiveRequest(1), true, 1000, 10, false));
  using Case = std::tuple<double, double, std::vector<int>>;  // how overdue each is, the order
  for (const auto& [overdue0_usec, overdue1_usec, order] :
       {Case{50000, 20000, {0, 1}}, Case{20000, 50000, {1, 0}}, Case{30000, 30000, {0, 1}}}) {
    const size_t before = PolledTags(unit).size();
    s.MsgTable[0].MsgNextDue_usec = p.NowUsec() - overdue0_usec;
    s.MsgTable[1].MsgNextDue_usec = p.NowUsec() - overdue1_usec;
    RunFor(200000);
    const auto tags = PolledTags(unit);
    ASSERT_GE(tags.size(), before + 2);
    const auto first = tags.begin() + static_cast<std::ptrdiff_t>(before);
    EXPECT_EQ(std::vector<int>(first, first + 2), order);
  }
  // Ten periods overdue: polled once and then a period later, not in a burst to catch up.
  const double at = p.NowUsec();
  s.MsgTable[0].MsgNextDue_usec = at - 10e6;
  RunFor(500000);
  int polls = 0;
  for (const auto& r : unit.requests()) {
    polls += At(r.frame, 4) == 0 && r.time_usec > at && r.time_usec < at + 9e5;
  }
  EXPECT_EQ(polls, 1);
}

TEST_F(Polling, CyclicPollingWalksEveryRecord) {
  EcuSim& unit = Linked(1, "[Idle_usec]\r\n0\r\n" + MsgSection(LiveRequest(0), false, 0, 10, true) +
                               MsgSection(LiveRequest(1), false, 0, 10, false) +
                               MsgSection(LiveRequest(2), false, 0, 10, true));
  Ask(HostMsg(4, "\x01"));
  RunFor(200000);
  const auto tags = PolledTags(unit);
  ASSERT_GE(tags.size(), 6u);
  for (size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(tags[i], i % 2 == 0 ? 0 : 2) << i;
  EXPECT_FALSE(s.MsgTable[2].MsgHistory.empty());
  EXPECT_TRUE(s.MsgTable[1].MsgLastAnswer.empty());
}

TEST_F(Polling, NothingIsPolledWithoutALinkOrWithPollingOff) {
  EcuSim& unit = UnitOn(1);
  Start(MsgSection(LiveRequest(0), true, 100, 10, true));
  RunFor(2e6);  // no port search yet
  EXPECT_TRUE(unit.requests().empty());
  Connect(1, unit.ExpectedIdentity());
  Ask(HostMsg(4, "\x02"));
  const size_t after_connect = unit.requests().size();
  RunFor(2e6);
  EXPECT_EQ(unit.requests().size(), after_connect);
  Ask(HostMsg(4, std::string(1, '\0')));
  RunFor(2e6);
  EXPECT_GT(unit.requests().size(), after_connect + 10);
}

// An unexpected failure inside a polling transaction must not end the server: it is shown and
// the loop goes on, as for an instruction.
TEST_F(Polling, AFailureInsideAPollingTransactionIsShownAndPollingGoesOn) {
  EcuSim& unit = Linked(1, MsgSection(LiveRequest(0), true, 100, 10, false));
  const size_t before = unit.requests().size();
  p.throwing_calls.insert("WriteFile");
  RunFor(250000);
  p.throwing_calls.clear();
  ASSERT_GE(p.messages.size(), 2u);
  for (const std::string& m : p.messages) {
    EXPECT_EQ(m, "ecubridge|ScomponiMessaggio_ErrWriteFile threw");
  }
  EXPECT_EQ(Ask(HostMsg(0, "still here")).substr(8), "still here");
  RunFor(1e6);
  EXPECT_EQ(s.LinkStatus, 1);
  EXPECT_GT(unit.requests().size(), before + 5);
  // One inside a port search ends it as a failed search: the link down and its port closed,
  // not "searching" for good.
  p.throwing_calls.insert("WriteFile");
  EXPECT_EQ(At(Connect(1, unit.ExpectedIdentity()), 3), 0);
  p.throwing_calls.clear();
  EXPECT_TRUE(p.open_serial.empty());
}

TEST_F(Polling, HostIsServedWhileAPollingTransactionWaits) {
  EcuSim& unit = Linked(1, MsgSection(LiveRequest(0), true, 100, 10, false) +
                               MsgSection(LiveRequest(1), false, 100, 10, true));
  const std::string stored = s.MsgTable[0].MsgLastAnswer;
  ASSERT_FALSE(stored.empty());
  // The next timed poll, 100 ms after the search, meets a silent unit; the host asks while it
  // waits.
  unit.Inject(EcuSim::Fault::kSilence, 1);
  p.reply_times_usec.clear();
  const double asked = p.NowUsec() + 150000;
  p.HostSend(HostMsg(6, LiveRequest(0)), 150000);
  p.HostSend(HostMsg(7, LiveRequest(1)), 160000);
  p.HostSend(Bytes({9, 0, 0}), 170000);  // announces more than ever comes
  p.HostSend(HostMsg(1), 450000);
  const auto replies = Replies(4, 30e6);
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].substr(8), stored);
  EXPECT_EQ(replies[1].substr(8), Bytes({4, 0, 0, 0}));  // no answer stored for it yet
  EXPECT_EQ(replies[2], Bytes({0, 8, 0, 1, 0, 0, 1, 1}));
  EXPECT_EQ(At(replies[3], 2), 1);
  const auto& at = p.reply_times_usec;
  EXPECT_LT(at[0] - asked, 6000);
  EXPECT_LT(at[1] - asked, 10000 + 6000);
  EXPECT_EQ(s.MsgTable[1].MsgHistoryLeft, 10);
  // The malformed message and the quit wait for the transaction: the silent attempt lasts
  // AttesaGlobale + Idle (4.04 s).
  EXPECT_GT(at[2] - asked, 3.5e6);
  EXPECT_GE(at[3], at[2]);
}

}  // namespace
}  // namespace ecub::test
