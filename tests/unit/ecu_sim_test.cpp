// The simulated unit every other test talks to: what it must do exactly, so that a fault of
// its own cannot make a test of the server pass wrongly (answers' bytes, the delay and pace,
// faults that really fire and stop, skipped bytes counted, purge and close).
#include "sim/ecu_sim.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace ecub {
namespace {

using Fault = EcuSim::Fault;
using Times = std::vector<double>;

// Bytes from hex pairs separated by blanks: "41 02 0E".
std::string H(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 3) {
    out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

const std::string kIdentRequest = H("41 02 0E 21 00 00 00 00 00 00 00 00 00 00 00 6C");
const std::string kIdentAnswer =
    H("44 01 1D 21 00 00 00 00 00 00 00 00 46 57 20 31 2E 30 30 20 4C 50 47 4A 45 54 2D 34 20 58 "
      "16");
const std::string kReadErr = H("41 02 03 1A 5A");  // command 0x1A, no data
const std::string kReadErrAnswer = H("44 01 04 1A 00 5B");

// Writes `bytes` as the server does, one byte every `spacing` from `t`; returns the last time.
double Send(EcuSim& sim, const std::string& bytes, double t, double spacing = 0) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    sim.OnByte(static_cast<uint8_t>(bytes[i]), t + static_cast<double>(i) * spacing);
  }
  return t + static_cast<double>(bytes.size() - 1) * spacing;
}

std::string All(EcuSim& sim, double t) {
  return sim.Take(std::numeric_limits<size_t>::max(), t);
}

// Sends `request` from `t` and takes everything that arrived by then.
std::string Ask(EcuSim& sim, const std::string& request, double t) {
  Send(sim, request, t);
  return All(sim, t);
}

// Arrival times of all scheduled bytes, read off NextArrival.
Times Arrivals(EcuSim& sim, double from) {
  Times times;
  for (double t = sim.NextArrival(from); !std::isinf(t); t = sim.NextArrival(t)) {
    times.push_back(t);
  }
  return times;
}

// A unit that answers at once, or at the pace of `baud` (10 bits per byte).
EcuSim Sim(uint32_t baud = 0) {
  EcuSim sim;
  sim.config.baud = baud;
  sim.config.answer_delay_usec = 0;
  return sim;
}

TEST(EcuSimAnswers, CannedRepliesBadChecksumsAndLongData) {
  EcuSim sim = Sim();
  EXPECT_EQ(Ask(sim, kReadErr, 0), kReadErrAnswer);  // unknown command: empty data, outcome 0
  sim.SetAnswer(0x1A, H("01 02"));
  EXPECT_EQ(Ask(sim, kReadErr, 10), H("44 01 06 1A 00 01 02 5A"));
  const std::string with_data = EcuSim::RequestFrame(0x1A, H("07"));
  sim.SetReplyFor(with_data, EcuSim::Reply{H("AA"), false});
  EXPECT_EQ(Ask(sim, with_data, 20), H("44 01 04 1A AA F1"));  // no outcome byte
  EXPECT_EQ(Ask(sim, kReadErr, 30), H("44 01 06 1A 00 01 02 5A"));
  sim.ClearReplies();
  sim.config.start_byte = 0x42;
  EXPECT_EQ(Ask(sim, kReadErr, 50), H("42 01 04 1A 00 5D"));
  // A bad request checksum gets outcome FF (or silence); long data is cut to what a length byte
  // can announce. Other tests count on both: a unit that took every request would hide a bad
  // checksum of the server's.
  sim = Sim();
  EXPECT_EQ(Ask(sim, H("41 02 03 1A 5B"), 0), H("44 01 04 1A FF A4"));
  sim.config.answer_bad_checksum = false;
  Send(sim, H("41 02 03 1A 5B"), 10);
  EXPECT_EQ(sim.Queued(10), 0u);
  EXPECT_EQ(std::pair(sim.requests().size(), sim.answers_sent()), std::pair(size_t{2}, size_t{1}));
  sim.SetAnswer(0x30, std::string(300, '\x5A'));
  EXPECT_EQ(Ask(sim, EcuSim::RequestFrame(0x30), 20),
            H("44 01 FF 30 00") + std::string(251, '\x5A') + H("D0"));
}

TEST(EcuSimTiming, AnswerStartsAfterTheDelayAtTheLinePaceUnlessAFaultMovesIt) {
  EcuSim sim = Sim(10000);  // 1000 us per byte
  sim.config.answer_delay_usec = 5000;
  EXPECT_EQ(Send(sim, kReadErr, 100, 500), 2100);  // the last byte
  EXPECT_EQ(sim.NextArrival(2100), 8100);
  EXPECT_EQ(sim.Queued(8099), 0u);
  EXPECT_EQ(sim.Queued(8100), 1u);
  EXPECT_EQ(sim.NextArrival(8100), 9100);
  EXPECT_EQ(sim.Take(1, 10100), H("44"));
  EXPECT_EQ(sim.Queued(10100), 2u);
  // A second request answered at once while the answer is still on the line queues its answer
  // behind it.
  sim.config.answer_delay_usec = 0;
  Send(sim, kReadErr, 10200);
  EXPECT_EQ(Arrivals(sim, 10100),
            (Times{11100, 12100, 13100, 14100, 15100, 16100, 17100, 18100, 19100}));
  EXPECT_EQ(All(sim, 1e9), H("01 04 1A 00 5B") + kReadErrAnswer);
  EXPECT_TRUE(std::isinf(sim.NextArrival(1e9)));

  // Faults move the arrivals: a split answer, a late one.
  sim = Sim(10000);
  sim.config.fault.split_at = 2;
  sim.config.fault.split_gap_usec = 50000;
  sim.Inject(Fault::kSplit, 1);
  Send(sim, kReadErr, 0);
  EXPECT_EQ(Arrivals(sim, 0), (Times{1000, 2000, 53000, 54000, 55000, 56000}));
  EXPECT_EQ(All(sim, 1e6), kReadErrAnswer);
  sim.Inject(Fault::kDelay, 1);
  Send(sim, kReadErr, 2e6);
  EXPECT_EQ(sim.NextArrival(2e6), 2e6 + 100000 + 1000);
}

TEST(EcuSimParse, SkipsGarbageAndTakesRequestsByteByByte) {
  EcuSim sim = Sim();
  // Noise, a start byte followed by another, and a start with an impossible length byte.
  EXPECT_EQ(Ask(sim, H("00 FF 41 41 02 03 1A 5A 41 02 02 41 02 03 1A 5A"), 0),
            kReadErrAnswer + kReadErrAnswer);
  EXPECT_EQ(sim.skipped_bytes(), 6u);
  for (size_t i = 0; i + 1 < kIdentRequest.size(); ++i) {
    sim.OnByte(static_cast<uint8_t>(kIdentRequest[i]), 100.0 * static_cast<double>(i));
    EXPECT_EQ(sim.Queued(1e9), 0u);
  }
  EXPECT_EQ(sim.requests().size(), 2u);
  sim.OnByte(0x6C, 1500);
  EXPECT_EQ(sim.Take(10, 1500), kIdentAnswer.substr(0, 10));
  EXPECT_EQ(All(sim, 1500), kIdentAnswer.substr(10));
  EXPECT_EQ(sim.requests().at(2).time_usec, 1500);
}

TEST(EcuSimFaults, ContentFaultsChangeTheAnswerBytesForTheirCountAndCommandAndCompose) {
  const std::vector<std::pair<Fault, std::string>> cases = {
      {Fault::kWrongEcho, H("44 01 04 1B 00 5A")},     {Fault::kOutcomeFE, H("44 01 04 1A FE A5")},
      {Fault::kOutcomeFF, H("44 01 04 1A FF A4")},     {Fault::kWrongStart, H("45 01 04 1A 00 5A")},
      {Fault::kTrailing, kReadErrAnswer + H("55 AA")}, {Fault::kTruncate, H("44 01 04")}};
  for (const auto& [fault, expected] : cases) {
    EcuSim sim = Sim();
    sim.Inject(fault, 1);
    EXPECT_EQ(Ask(sim, kReadErr, 0), expected) << static_cast<int>(fault);
    EXPECT_EQ(Ask(sim, kReadErr, 10), kReadErrAnswer)
        << "count 1 spent: " << static_cast<int>(fault);
  }
  // An outcome fault inserts the outcome into an answer without one.
  EcuSim sim = Sim();
  sim.SetReply(0x1A, EcuSim::Reply{"", false});
  sim.Inject(Fault::kOutcomeFE, 1);
  EXPECT_EQ(Ask(sim, kReadErr, 0), H("44 01 04 1A FE A5"));
  // Early talk arrives while the request is still being sent.
  sim.config.fault.early_after = 2;
  sim.config.fault.early_bytes = H("E1 E2");
  sim.Inject(Fault::kEarlyTalk, 1);
  EXPECT_EQ(Ask(sim, kReadErr.substr(0, 2), 10), H("E1 E2"));
  EXPECT_EQ(Ask(sim, kReadErr.substr(2), 20), H("44 01 03 1A 5C"));
  // Counts, commands and faults together.
  sim = Sim();
  sim.Inject(Fault::kSilence, 2);
  sim.Inject(Fault::kWrongEcho, EcuSim::kForever, 0x1A);
  Send(sim, kReadErr, 0);
  Send(sim, kIdentRequest, 10);
  EXPECT_EQ(sim.Queued(1e9), 0u);                        // both silent
  EXPECT_EQ(Ask(sim, kIdentRequest, 20), kIdentAnswer);  // the echo fault is for 0x1A only
  sim.Inject(Fault::kTrailing, 1, 0x1A);
  EXPECT_EQ(Ask(sim, kReadErr, 30), H("44 01 04 1B 00 5A 55 AA"));
  EXPECT_EQ(Ask(sim, kReadErr, 40), H("44 01 04 1B 00 5A"));  // permanent
  sim.ClearFaults();
  EXPECT_EQ(Ask(sim, kReadErr, 50), kReadErrAnswer);
  EXPECT_EQ(std::pair(sim.requests().size(), sim.answers_sent()), std::pair(size_t{6}, size_t{4}));
}

TEST(EcuSimLink, CloseLosesBytesInFlightAndPurgeDropsOnlyArrivedOnes) {
  EcuSim sim = Sim(10000);
  sim.OnOpen(9600, 0);
  EXPECT_EQ(std::pair(sim.is_open(), sim.open_baud()), std::pair(true, 9600u));
  Send(sim, kReadErr, 0);
  sim.DropQueued(2500);  // two of six bytes had arrived
  EXPECT_EQ(All(sim, 1e6), H("04 1A 00 5B"));
  Send(sim, kReadErr, 2e6);
  sim.OnClose(2e6 + 2500);
  EXPECT_FALSE(sim.is_open());
  EXPECT_EQ(sim.Pending(), 0u);
}

}  // namespace
}  // namespace ecub
