// Automatic polling by the real server against a simulated control unit on a pseudo-terminal:
// timed and cyclic polling, answer histories handed to the host, and stored answers served
// while a polling transaction is still waiting.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/host_messages.h"
#include "sim_host.h"

namespace ecub::e2e {
namespace {

using std::chrono::milliseconds;

constexpr uint8_t kCmdStatus = 0x0D;
const std::string kTimedFrame = EcuSim::RequestFrame(kCmdStatus);
const std::string kCyclicFrame = EcuSim::RequestFrame(EcuSim::kCmdReadMem1);
const std::string kStatusData = "\x11\x22";

// One [MSG] section: number, text, frame, timed, period, history size, unused line, cyclic.
std::string MsgSection(int number, const std::string& frame, bool timed, int period_ms,
                       bool cyclic) {
  return IniLines({"[MSG]", std::to_string(number), "message " + std::to_string(number), Hex(frame),
                   timed ? "1" : "0", std::to_string(period_ms), "50", "0", cyclic ? "1" : "0"});
}

// A history block cut into entries; no bytes may be left over.
std::vector<tools::HistoryEntry> Entries(const HostReply& reply) {
  const tools::History history = tools::SplitHistory(reply.data);
  EXPECT_TRUE(history.has_size);
  EXPECT_EQ(Hex(history.rest), "");
  return history.entries;
}

// The answers the unit sent to requests with `command`, in order.
std::vector<std::string> AnswersTo(PtyUnit& unit, uint8_t command) {
  return unit.With([command](EcuSim& sim) {
    std::vector<std::string> out;
    for (const std::string& a : sim.answers()) {
      if (a.size() > 3 && static_cast<uint8_t>(a[3]) == command) out.push_back(a);
    }
    return out;
  });
}

size_t RequestsOf(PtyUnit& unit, uint8_t command) {
  return unit.With([command](EcuSim& sim) {
    size_t n = 0;
    for (const auto& r : sim.requests()) n += r.command == command ? 1 : 0;
    return n;
  });
}

using PollingOverPty = SimHost;

TEST_F(PollingOverPty, TimedThenCyclicPollingWithHistoriesAndStoredAnswers) {
  // Row 0: the status frame, timed every 100 ms. Row 1: the live values, cyclic. One attempt
  // per transaction, so the silent one at the end gives up at once.
  Write("SetComVarno.ini", FastTimingIni() + IniLines({"[NumResend]", "0"}) +
                               MsgSection(1, kTimedFrame, true, 100, false) +
                               MsgSection(2, kCyclicFrame, false, 0, true));
  PtyUnit& unit = AddUnit(1);
  unit.With([](EcuSim& sim) { sim.SetAnswer(kCmdStatus, kStatusData); });
  const auto started = std::chrono::steady_clock::now();
  Start();
  ASSERT_EQ(Connect(1, unit).link, 1);

  // The search sent the timed message once; then every 100 ms, about six more in 600 ms (the
  // bounds leave room for a slow machine). The cyclic one waits for its mode.
  EXPECT_EQ(RequestsOf(unit, kCmdStatus), 1u);
  std::this_thread::sleep_for(milliseconds(600));
  EXPECT_GE(RequestsOf(unit, kCmdStatus), 4u);
  EXPECT_LE(RequestsOf(unit, kCmdStatus), 10u);
  EXPECT_EQ(RequestsOf(unit, EcuSim::kCmdReadMem1), 0u);
  const HostReply timed = Call(6, kTimedFrame);
  EXPECT_EQ(timed.result, 0);
  EXPECT_EQ(timed.poll, 0);
  EXPECT_EQ(timed.link, 1);
  EXPECT_EQ(Hex(timed.data), Hex(EcuSim().Frame(kCmdStatus, EcuSim::Reply(kStatusData))));
  // Row 0 out of timed polling: nothing more goes out.
  EXPECT_EQ(Call(11, std::string("\x00\x00", 2)).result, 0);
  const size_t when_off = RequestsOf(unit, kCmdStatus);
  std::this_thread::sleep_for(milliseconds(350));
  EXPECT_EQ(RequestsOf(unit, kCmdStatus), when_off);

  ASSERT_EQ(Call(4, Byte(1)).poll, 1);
  std::this_thread::sleep_for(milliseconds(500));
  const HostReply history = Call(7, kCyclicFrame);
  // Milliseconds since the server was started; its own clock starts a little later.
  const auto now_ms =
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(history.code, 7);
  EXPECT_EQ(history.result, 0);
  EXPECT_EQ(history.link, 1);
  EXPECT_EQ(history.poll, 1);
  const std::vector<tools::HistoryEntry> entries = Entries(history);
  ASSERT_GE(entries.size(), 5u);
  EXPECT_LE(entries.size(), 50u);
  // The entries are consecutive answers of the unit to the cyclic frame, oldest first.
  const std::vector<std::string> sent = AnswersTo(unit, EcuSim::kCmdReadMem1);
  size_t first = 0;
  while (first < sent.size() && sent[first] != entries[0].answer) ++first;
  ASSERT_LE(first + entries.size(), sent.size()) << Hex(entries[0].answer);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(Hex(entries[i].answer), Hex(sent[first + i])) << "entry " << i;
    // Each answer takes several milliseconds on the line, so the stamps must rise.
    if (i > 0) {
      EXPECT_GT(entries[i].time_ms, entries[i - 1].time_ms) << "entry " << i;
    }
    EXPECT_LE(entries[i].time_ms, now_ms);
  }
  // Instruction 6 in cyclic mode answers from the table; a frame of no row is refused and
  // echoed, and no transaction is run for it.
  const HostReply stored = Call(6, kCyclicFrame);
  EXPECT_EQ(stored.result, 0);
  const std::vector<std::string> after = AnswersTo(unit, EcuSim::kCmdReadMem1);
  EXPECT_NE(std::find(after.begin() + static_cast<std::ptrdiff_t>(first), after.end(), stored.data),
            after.end())
      << Hex(stored.data);
  const std::string unknown = EcuSim::RequestFrame(0x05);
  const HostReply refused = Call(6, unknown);
  EXPECT_EQ(refused.result, 3);
  EXPECT_EQ(refused.data, unknown);
  EXPECT_EQ(RequestsOf(unit, 0x05), 0u);

  // The unit falls silent while answers are awaited 2 s.
  EXPECT_EQ(Call(8, std::string("\xD0\x07", 2)).data, std::string("\xD0\x07\x00\x00", 4));
  ASSERT_TRUE(
      Eventually([&] { return AnswersTo(unit, EcuSim::kCmdReadMem1).size() >= after.size() + 2; }));
  const size_t silent_from = unit.With([](EcuSim& sim) {
    sim.Inject(EcuSim::Fault::kSilence, EcuSim::kForever, EcuSim::kCmdReadMem1);
    return sim.requests().size();
  });
  ASSERT_TRUE(Eventually([&] { return unit.RequestCount() > silent_from; }));
  const std::string last = AnswersTo(unit, EcuSim::kCmdReadMem1).back();
  // Answered from the table while the unanswered request is still awaited: the link is up.
  const HostReply waiting = Call(6, kCyclicFrame);
  EXPECT_EQ(waiting.link, 1);
  EXPECT_EQ(Hex(waiting.data), Hex(last));
  const HostReply rest = Call(7, kCyclicFrame);
  EXPECT_EQ(rest.link, 1);
  const std::vector<tools::HistoryEntry> more = Entries(rest);
  ASSERT_FALSE(more.empty());
  EXPECT_EQ(Hex(more.back().answer), Hex(last));
  EXPECT_EQ(unit.RequestCount(), silent_from + 1);
  // Any other instruction waits for the transaction, which gives up and drops the link.
  const HostReply echo = Call(0, "after");
  EXPECT_EQ(echo.data, "after");
  EXPECT_EQ(echo.link, 0);
  EXPECT_TRUE(Eventually([&] { return !unit.IsOpen(); }));
  // What was handed out is gone: 18-byte answers, the size alone.
  EXPECT_EQ(Hex(Call(7, kCyclicFrame).data), "16000000");
  Quit();
}

}  // namespace
}  // namespace ecub::e2e
