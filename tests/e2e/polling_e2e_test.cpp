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

#include "sim_host.h"

namespace ecub::e2e {
namespace {

using std::chrono::milliseconds;

constexpr uint8_t kCmdStatus = 0x0D;
const std::string kTimedFrame = EcuSim::RequestFrame(kCmdStatus);
const std::string kCyclicFrame = EcuSim::RequestFrame(EcuSim::kCmdReadMem1);
const std::string kStatusData = "\x11\x22";

// One [MSG] section: number, text, frame, timed, period, history size, unused line, cyclic.
std::string MsgSection(int number, const std::string& frame, bool timed, int period_ms, int history,
                       bool cyclic) {
  return IniLines({"[MSG]", std::to_string(number), "message " + std::to_string(number), Hex(frame),
                   timed ? "1" : "0", std::to_string(period_ms), std::to_string(history), "0",
                   cyclic ? "1" : "0"});
}

// Row 0: the status frame, timed every 100 ms. Row 1: the live values, cyclic. Both keep 50
// answers.
std::string PollingIni(const std::string& timing = FastTimingIni()) {
  return timing + MsgSection(1, kTimedFrame, true, 100, 50, false) +
         MsgSection(2, kCyclicFrame, false, 0, 50, true);
}

struct Entry {
  uint32_t time_ms;
  std::string answer;
};

// A history block: the 4-byte little-endian entry size, then entries of four time bytes
// (bits 8-15, 0-7, 24-31, 16-23) and an answer.
std::vector<Entry> DecodeHistory(const std::string& data) {
  std::vector<Entry> entries;
  EXPECT_GE(data.size(), 4u);
  if (data.size() < 4) return entries;
  const auto at = [&data](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(data[i]));
  };
  const size_t size = at(0) | at(1) << 8 | at(2) << 16 | at(3) << 24;
  EXPECT_GT(size, 4u);
  if (size <= 4) return entries;
  EXPECT_EQ((data.size() - 4) % size, 0u) << data.size() << " bytes, entries of " << size;
  for (size_t at_entry = 4; at_entry + size <= data.size(); at_entry += size) {
    const uint32_t t =
        at(at_entry + 1) | at(at_entry) << 8 | at(at_entry + 3) << 16 | at(at_entry + 2) << 24;
    entries.push_back({t, data.substr(at_entry + 4, size - 4)});
  }
  return entries;
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

class PollingOverPty : public SimHost {
 protected:
  PtyUnit& ConnectedUnit(const std::string& ini = PollingIni()) {
    Write("SetComVarno.ini", ini);
    PtyUnit& unit = AddUnit(1);
    unit.With([](EcuSim& sim) { sim.SetAnswer(kCmdStatus, kStatusData); });
    started_ = std::chrono::steady_clock::now();
    Start();
    EXPECT_EQ(Connect(1, unit).link, 1);
    return unit;
  }
  // Milliseconds since the server was started; its own clock starts a little later.
  uint32_t ElapsedMs() const {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started_)
            .count());
  }
  std::chrono::steady_clock::time_point started_;
};

TEST_F(PollingOverPty, CyclicPollingKeepsAHistoryOfTheUnitsAnswers) {
  PtyUnit& unit = ConnectedUnit();
  // The search sent the timed message once; the cyclic one waits for its mode.
  EXPECT_EQ(RequestsOf(unit, kCmdStatus), 1u);
  EXPECT_EQ(RequestsOf(unit, EcuSim::kCmdReadMem1), 0u);
  ASSERT_EQ(Call(4, Byte(1)).poll, 1);
  std::this_thread::sleep_for(milliseconds(500));

  const HostReply history = Call(7, kCyclicFrame);
  const uint32_t now_ms = ElapsedMs();
  ASSERT_TRUE(history.ok);
  EXPECT_EQ(history.code, 7);
  EXPECT_EQ(history.result, 0);
  EXPECT_EQ(history.link, 1);
  EXPECT_EQ(history.poll, 1);
  const std::vector<Entry> entries = DecodeHistory(history.data);
  ASSERT_GE(entries.size(), 5u);
  EXPECT_LE(entries.size(), 50u);

  // The entries are consecutive answers of the unit to the cyclic frame, oldest first.
  const std::vector<std::string> sent = AnswersTo(unit, EcuSim::kCmdReadMem1);
  size_t first = 0;
  while (first < sent.size() && sent[first] != entries[0].answer) ++first;
  ASSERT_LT(first, sent.size()) << Hex(entries[0].answer);
  for (size_t i = 0; i < entries.size(); ++i) {
    ASSERT_LT(first + i, sent.size());
    EXPECT_EQ(Hex(entries[i].answer), Hex(sent[first + i])) << "entry " << i;
    // Each answer takes several milliseconds on the line, so the stamps must rise.
    if (i > 0) {
      EXPECT_GT(entries[i].time_ms, entries[i - 1].time_ms) << "entry " << i;
    }
    EXPECT_LE(entries[i].time_ms, now_ms);
  }

  // Instruction 6 in cyclic mode answers from the table.
  const HostReply stored = Call(6, kCyclicFrame);
  EXPECT_EQ(stored.result, 0);
  EXPECT_EQ(stored.link, 1);
  const std::vector<std::string> after = AnswersTo(unit, EcuSim::kCmdReadMem1);
  EXPECT_NE(std::find(after.begin() + static_cast<std::ptrdiff_t>(first), after.end(), stored.data),
            after.end())
      << Hex(stored.data);
  // A frame of no row is refused and echoed; no transaction is run for it in this mode.
  const std::string unknown = EcuSim::RequestFrame(0x05);
  const HostReply refused = Call(6, unknown);
  EXPECT_EQ(refused.result, 3);
  EXPECT_EQ(refused.data, unknown);
  EXPECT_EQ(RequestsOf(unit, 0x05), 0u);

  // With polling stopped, the rest of the history comes once and then it is empty.
  ASSERT_EQ(Call(4, Byte(2)).poll, 2);
  const HostReply rest = Call(7, kCyclicFrame);
  EXPECT_EQ(rest.result, 0);
  const HostReply empty = Call(7, kCyclicFrame);
  EXPECT_EQ(Hex(empty.data), Hex(std::string("\x16\x00\x00\x00", 4)));  // 18-byte answers + 4
  Quit();
}

TEST_F(PollingOverPty, TimedPollingFollowsThePeriodUntilSwitchedOff) {
  PtyUnit& unit = ConnectedUnit();
  const size_t at_connect = RequestsOf(unit, kCmdStatus);
  EXPECT_EQ(at_connect, 1u);
  std::this_thread::sleep_for(milliseconds(600));
  // Every 100 ms: about six more; the bounds leave room for a slow machine.
  const size_t sent = RequestsOf(unit, kCmdStatus) - at_connect;
  EXPECT_GE(sent, 3u);
  EXPECT_LE(sent, 9u);
  EXPECT_EQ(RequestsOf(unit, EcuSim::kCmdReadMem1), 0u);

  const std::string answer = EcuSim().Frame(kCmdStatus, EcuSim::Reply(kStatusData));
  const HostReply stored = Call(6, kTimedFrame);
  EXPECT_EQ(stored.result, 0);
  EXPECT_EQ(stored.poll, 0);
  EXPECT_EQ(stored.link, 1);
  EXPECT_EQ(Hex(stored.data), Hex(answer));

  // Row 0 out of timed polling: nothing more goes out.
  const HostReply off = Call(11, std::string("\x00\x00", 2));
  EXPECT_EQ(off.result, 0);
  const size_t when_off = RequestsOf(unit, kCmdStatus);
  std::this_thread::sleep_for(milliseconds(350));
  EXPECT_EQ(RequestsOf(unit, kCmdStatus), when_off);
  Quit();
}

TEST_F(PollingOverPty, StoredAnswersAreServedWhileAPollingTransactionWaits) {
  // One attempt per polling transaction, so the silent one below ends with a give-up.
  PtyUnit& unit = ConnectedUnit(PollingIni(FastTimingIni() + IniLines({"[NumResend]", "0"})));
  const HostReply timeout = Call(8, std::string("\xD0\x07", 2));  // answers awaited 2 s
  EXPECT_EQ(timeout.data, std::string("\xD0\x07\x00\x00", 4));
  ASSERT_EQ(Call(4, Byte(1)).poll, 1);
  ASSERT_TRUE(Eventually([&] { return AnswersTo(unit, EcuSim::kCmdReadMem1).size() >= 2; }));

  const size_t silent_from = unit.With([](EcuSim& sim) {
    sim.Inject(EcuSim::Fault::kSilence, EcuSim::kForever, EcuSim::kCmdReadMem1);
    return sim.requests().size();
  });
  ASSERT_TRUE(Eventually([&] { return unit.RequestCount() > silent_from; }));
  const std::string last = AnswersTo(unit, EcuSim::kCmdReadMem1).back();

  // Answered from the table while the unanswered request is still awaited: the link is up.
  const HostReply stored = Call(6, kCyclicFrame);
  ASSERT_TRUE(stored.ok);
  EXPECT_EQ(stored.result, 0);
  EXPECT_EQ(stored.link, 1);
  EXPECT_EQ(Hex(stored.data), Hex(last));
  const HostReply history = Call(7, kCyclicFrame);
  EXPECT_EQ(history.link, 1);
  const std::vector<Entry> entries = DecodeHistory(history.data);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(Hex(entries.back().answer), Hex(last));
  EXPECT_EQ(unit.RequestCount(), silent_from + 1);

  // Any other instruction waits for the transaction, which gives up and drops the link.
  const HostReply echo = Call(0, "after");
  ASSERT_TRUE(echo.ok);
  EXPECT_EQ(echo.data, "after");
  EXPECT_EQ(echo.link, 0);
  EXPECT_TRUE(Eventually([&] { return !unit.IsOpen(); }));
  Quit();
}

}  // namespace
}  // namespace ecub::e2e
