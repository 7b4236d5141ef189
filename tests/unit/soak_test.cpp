// A day of service on the virtual clock: timed and cyclic polling of a unit that now and then
// stays silent, answers with a bad checksum or a short error frame, and hangs up for a while,
// with a host that asks for answers and histories at random and reconnects when the link drops.
// What the server holds must stay bounded, every history handed out must be whole, and the
// link must come back after every hang-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "history_check.h"
#include "host/clock.h"
#include "server_fixture.h"

namespace ecub {
namespace {

using test::At;
using test::HostMsg;
using test::LiveRequest;
using test::MsgSection;

constexpr double kHour_usec = 3600e6;
constexpr double kSoak_usec = 24 * kHour_usec;
constexpr uint8_t kOtherCommand = 0x0D;
constexpr uint8_t kRelayCommand = 0x0E;
const std::string kLog = "/app/RxTx.TXT";

// The unit at the far end of the line, which now and then hangs up: while it is away it hears
// nothing and says nothing, and what it was saying is lost.
class HangingUnit : public SimLink {
 public:
  EcuSim unit;
  bool away = false;

  void HangUp(double now_usec) {
    away = true;
    unit.OnClose(now_usec);
  }
  void OnByte(uint8_t b, double now_usec) override {
    if (!away) unit.OnByte(b, now_usec);
  }
  size_t Queued(double now_usec) override { return away ? 0 : unit.Queued(now_usec); }
  std::string Take(size_t max, double now_usec) override {
    return away ? std::string() : unit.Take(max, now_usec);
  }
  double NextArrival(double now_usec) override {
    return away ? std::numeric_limits<double>::infinity() : unit.NextArrival(now_usec);
  }
  void OnOpen(uint32_t baud, double now_usec) override { unit.OnOpen(baud, now_usec); }
  void OnClose(double now_usec) override { unit.OnClose(now_usec); }
  void DropQueued(double now_usec) override {
    if (!away) unit.DropQueued(now_usec);
  }
};

// Record index, request, whether the host may ask its history (instruction 7 needs the cyclic
// flag), its history places.
struct Polled {
  std::string request;
  bool timed;
  int period_ms;
  int history;
  bool cyclic;
};

const std::vector<Polled>& Table() {
  static const std::vector<Polled> table = {
      {LiveRequest(0), true, 2000, 40, true},
      {LiveRequest(1), true, 10000, 10, true},
      {LiveRequest(2), false, 0, 25, true},
      {EcuSim::RequestFrame(kOtherCommand), true, 30000, 5, false},
  };
  return table;
}

std::string SoakSettings() {
  std::string text =
      "[LOG]\r\n1\r\n[AttesaGlobale_usec]\r\n300000\r\n[NumResend]\r\n3\r\n"
      "[Idle_usec]\r\n5000\r\n";
  for (const Polled& m : Table())
    text += MsgSection(m.request, m.timed, m.period_ms, m.history, m.cyclic);
  return text;
}

// Bytes the server holds: stored answers and histories, transaction and message buffers, the
// USB lists, and the files it keeps besides the traffic log (which grows by design).
size_t HeldBytes(const Server& s, const FakePlatform& p) {
  size_t n = 0;
  for (const MsgRecord& r : s.MsgTable) {
    n += r.MsgRequest.capacity() + r.MsgText.capacity() + r.MsgLastAnswer.capacity() +
         r.MsgHistory.capacity();
  }
  for (const std::string* b :
       {&s.TxBuffer, &s.RxBuffer, &s.HostMessage, &s.PendingMessage, &s.Argument,
        &s.host_stream.buffered, &s.IdentitaAttesa, &s.RispostaIdentita}) {
    n += b->capacity();
  }
  for (const auto* list : {&s.UsbSerialList, &s.UsbDescList}) {
    for (const std::string& entry : *list) n += entry.capacity();
  }
  for (const auto& [path, contents] : p.files) {
    if (path != kLog) n += contents.size();
  }
  return n;
}

class Soak {
 public:
  Soak() : s(p, "/app") {
    p.files["/app/SetComVarno.ini"] = SoakSettings();
    // Coarser clock reads: the waits spin a tenth as long, and a day fits a CI run.
    p.read_step_ns = 10000;
    // The unit is reached over a serial port and over a USB interface; the host takes them in
    // turn, one after each hang-up.
    p.com_ports[5] = &lines[0];
    FakePlatform::UsbDevice device;
    device.serial = "FT7Q2K1A";
    device.description = "USB <-> Serial";
    device.link = &lines[1];
    p.usb_devices.push_back(device);
    for (HangingUnit& line : lines) {
      line.unit.config.baud = 9600;
      // Now and then, at the driver's word, a short error frame instead of the live values.
      line.unit.SetGenerator(EcuSim::kCmdReadMem1, [this](const EcuSim::Request&, double now) {
        if (short_answer_next) {
          short_answer_next = false;
          return EcuSim::Reply(std::string(), true, 0x01);
        }
        return EcuSim::Reply(EcuSim::LiveData(now, sequence++));
      });
    }
  }

  void Run() {
    ServerStartup(s);
    Ask(HostMsg(10, lines[0].unit.ExpectedIdentity()));
    Connect();
    const double start = p.NowUsec();
    const double end = start + kSoak_usec;
    double next_hangup = start + Exponential(2 * kHour_usec);
    double back_at = 0;
    double next_glitch = start + Exponential(kGlitchMean_usec);
    double next_host = start + Exponential(kHostMean_usec);
    double next_tidy = start + 60e6;
    double cyclic_until = 0;
    while (p.NowUsec() < end) {
      const double now = p.NowUsec();
      if (!away && now >= next_hangup) {
        away = true;
        for (HangingUnit& line : lines) line.HangUp(now);
        hung_up_since_connect = true;
        ++hangups;
        back_at = now + 10e6 + Uniform() * 290e6;
      } else if (away && now >= back_at) {
        away = false;
        for (HangingUnit& line : lines) line.away = false;
        next_hangup = now + Exponential(2 * kHour_usec);
        unit_back_at = now;
      }
      if (now >= next_glitch) {
        Glitch();
        next_glitch = now + Exponential(kGlitchMean_usec);
      }
      if (now >= next_tidy) {
        Tidy();
        next_tidy = now + 60e6;
      }
      if (now >= next_host) {
        if (cyclic_until > 0 && now >= cyclic_until) {
          Ask(HostMsg(4, std::string(1, '\0')));
          cyclic_until = 0;
        } else if (!link_up) {
          Connect();
        } else {
          HostAction(cyclic_until);
        }
        next_host = p.NowUsec() + (link_up ? Exponential(kHostMean_usec) : 5e6);
      }
      const double unit_event = away ? back_at : next_hangup;
      RunUntil(std::min({unit_event, next_glitch, next_tidy, next_host, end}));
    }
    Tidy();
    Ask(HostMsg(1));
    ServerShutdown(s);
  }

  FakePlatform p;
  Server s;
  HangingUnit lines[2];  // COM5, USB interface 0
  int usb_sessions = 0;
  std::vector<std::string> problems;
  // What happened.
  int64_t transactions = 0;  // answers the unit sent
  int64_t replies = 0;
  int64_t histories = 0;
  int64_t entries = 0;
  int hangups = 0;
  int recoveries = 0;
  int glitches = 0;
  size_t peak_bytes = 0;
  size_t log_bytes = 0;
  std::map<size_t, size_t> longest_history;  // record -> most entries seen stored

 private:
  static constexpr double kHostMean_usec = 8e6;
  static constexpr double kGlitchMean_usec = 90e6;

  double Uniform() { return static_cast<double>(rng()) / 4294967296.0; }
  double Exponential(double mean) { return -mean * std::log(1.0 - Uniform()); }

  void Problem(const std::string& what) {
    if (problems.size() < 20) {
      problems.push_back(std::to_string(p.NowUsec() / kHour_usec) + " h: " + what);
    }
  }

  // Runs the loop until `until`, waking then even with nothing else to do.
  void RunUntil(double until) {
    if (until > p.NowUsec()) p.HostSend(std::string(), until - p.NowUsec());
    while (p.NowUsec() < until) {
      LoopPass(s);
      CheckReplies(p.TakeReplies(), -1);
    }
  }

  std::string Ask(const std::string& message) {
    p.HostSend(message);
    const double limit = p.NowUsec() + 60e6;
    std::vector<std::string> got;
    while (got.empty() && p.NowUsec() < limit) {
      LoopPass(s);
      got = p.TakeReplies();
    }
    if (got.size() != 1) Problem(std::to_string(got.size()) + " replies to one message");
    CheckReplies(got, At(message, 2));
    return got.empty() ? std::string() : got.front();
  }

  void CheckReplies(const std::vector<std::string>& got, int code) {
    for (const std::string& reply : got) {
      ++replies;
      if (code < 0) Problem("a reply nobody asked for");
      if (reply.size() < 8 ||
          static_cast<size_t>(At(reply, 0) * 256 + At(reply, 1)) != reply.size()) {
        Problem("reply length field does not match");
        continue;
      }
      if (At(reply, 2) != code) Problem("reply with code " + std::to_string(At(reply, 2)));
      if (link_up && reply[3] == 0) {
        link_up = false;
        on_usb ^= 1;  // the next session goes over the other port
        // One glitch at a time is within what the retries absorb: only a hang-up drops the link.
        if (!hung_up_since_connect) Problem("link dropped without a hang-up");
      }
    }
  }

  void Connect() {
    const std::string reply = Ask(HostMsg(3, std::string(1, on_usb ? '\0' : '\x05')));
    const bool found = reply.size() > 3 && reply[3] == 1;
    if (found) {
      link_up = true;
      usb_sessions += on_usb ? 1 : 0;
      hung_up_since_connect = false;
      if (unit_back_at > 0) ++recoveries;
      unit_back_at = 0;
    } else if (unit_back_at > 0) {
      // The unit has been back since before this search began: it must be found.
      Problem("unit back, search failed");
    }
  }

  // Something the unit does wrong once.
  void Glitch() {
    ++glitches;
    switch (rng() % 3) {
      case 0:
        lines[on_usb].unit.Inject(EcuSim::Fault::kSilence, 1);
        break;
      case 1:
        lines[on_usb].unit.Inject(EcuSim::Fault::kBadChecksum, 1);
        break;
      default:
        short_answer_next = true;
        break;
    }
  }

  void HostAction(double& cyclic_until) {
    const auto& table = Table();
    const size_t index = rng() % table.size();
    switch (rng() % 8) {
      case 0:
      case 1:
      case 2:
        if (table[index].cyclic) {
          CheckHistory(index, Ask(HostMsg(7, table[index].request)));
          break;
        }
        [[fallthrough]];
      case 3:
      case 4:
        CheckAnswer(Ask(HostMsg(6, table[index].request)), At(table[index].request, 3), true);
        break;
      case 5:
        CheckAnswer(Ask(HostMsg(6, EcuSim::RequestFrame(kRelayCommand))), kRelayCommand, false);
        break;
      case 6:
        // Every half hour or so, fifteen seconds of cyclic polling.
        if (cyclic_until == 0 && rng() % 32 == 0) {
          Ask(HostMsg(4, std::string(1, '\x01')));
          cyclic_until = p.NowUsec() + 15e6;
        }
        break;
      default:
        Ask(HostMsg(0, "ping"));
        break;
    }
  }

  void CheckAnswer(const std::string& reply, uint8_t command, bool stored) {
    if (reply.size() < 8 || reply[7] != 0) return;
    const std::string answer = reply.substr(8);
    if (answer.empty()) return;  // nothing stored yet, or the link is down
    std::vector<test::HistoryEntry> parsed;
    const std::string as_entry = std::string(4, '\0') + std::string(4, '\0') + answer;
    const std::string error = test::ParseHistoryBlock(as_entry, command, false, parsed);
    if (!error.empty() || parsed.size() != 1) {
      Problem(std::string(stored ? "stored" : "relayed") + " answer malformed");
    }
  }

  void CheckHistory(size_t index, const std::string& reply) {
    if (reply.size() < 8 || reply[7] != 0) {
      Problem("history refused");
      return;
    }
    ++histories;
    std::vector<test::HistoryEntry> got;
    const std::string error =
        test::ParseHistoryBlock(reply.substr(8), At(Table()[index].request, 3), false, got);
    if (!error.empty()) Problem("history of record " + std::to_string(index) + ": " + error);
    const uint32_t now_ms = static_cast<uint32_t>(ElapsedMs(s));
    for (const test::HistoryEntry& entry : got) {
      // Each entry newer than the one before, none handed out twice, none from the future.
      if (entry.time_ms <= last_time_ms[index] || entry.time_ms > now_ms) {
        Problem("history of record " + std::to_string(index) + ": entry out of order");
      }
      last_time_ms[index] = entry.time_ms;
    }
    entries += static_cast<int64_t>(got.size());
    if (got.size() > static_cast<size_t>(Table()[index].history)) {
      Problem("history holds more entries than its places");
    }
  }

  // Every minute: the held bytes and histories are measured, and the records the simulation
  // keeps for inspection are dropped.
  void Tidy() {
    peak_bytes = std::max(peak_bytes, HeldBytes(s, p));
    for (size_t i = 0; i < Table().size(); ++i) {
      std::vector<test::HistoryEntry> stored;
      const std::string error =
          test::ParseHistoryBlock(std::string(4, '\0') + s.MsgTable[i].MsgHistory,
                                  At(Table()[i].request, 3), false, stored);
      if (!error.empty()) Problem("stored history of record " + std::to_string(i) + ": " + error);
      longest_history[i] = std::max(longest_history[i], stored.size());
      if (stored.size() > static_cast<size_t>(Table()[i].history)) {
        Problem("record " + std::to_string(i) + " stores more entries than its places");
      }
    }
    for (HangingUnit& line : lines) {
      transactions += static_cast<int64_t>(line.unit.answers_sent());
      line.unit.ForgetRecords();
    }
    p.ForgetRecords();
    log_bytes += p.files[kLog].size();
    p.files[kLog].clear();
  }

  std::mt19937 rng{20250305};
  bool link_up = false;
  bool away = false;  // the unit is off
  size_t on_usb = 0;  // 1: the host connects over the USB interface
  bool hung_up_since_connect = false;
  bool short_answer_next = false;
  uint8_t sequence = 0;
  double unit_back_at = 0;  // when the unit came back from its last hang-up; 0 once found
  std::map<size_t, uint32_t> last_time_ms;
};

TEST(Soak, ADayOfPollingWithAFlakyUnit) {
  Soak soak;
  soak.Run();
  for (const std::string& problem : soak.problems) ADD_FAILURE() << problem;
  std::cout << "[ soak: " << kSoak_usec / kHour_usec << " simulated hours, " << soak.transactions
            << " transactions, " << soak.replies << " replies, " << soak.histories
            << " histories with " << soak.entries << " entries, " << soak.glitches << " glitches, "
            << soak.hangups << " hang-ups, " << soak.recoveries << " recoveries ("
            << soak.usb_sessions << " sessions over USB), peak " << soak.peak_bytes
            << " bytes held, log " << soak.log_bytes / 24 << " bytes/h ]\n";
  // The run did what it claims: a day of traffic, hang-ups survived, histories handed out.
  EXPECT_GE(soak.transactions, 50000);
  EXPECT_GE(soak.hangups, 5);
  EXPECT_EQ(soak.recoveries, soak.hangups);
  EXPECT_GE(soak.usb_sessions, soak.hangups / 2);
  EXPECT_GE(soak.histories, 1000);
  // Memory: the histories at their places, each entry a time and a frame, twice over for
  // string growth, and a few kilobytes for buffers and small files.
  size_t bound = 16384;
  for (const Polled& m : Table()) bound += 2 * static_cast<size_t>(m.history + 1) * (4 + 257);
  EXPECT_LE(soak.peak_bytes, bound);
  for (size_t i = 0; i < Table().size(); ++i) {
    EXPECT_LE(soak.longest_history[i], static_cast<size_t>(Table()[i].history)) << i;
  }
  ::testing::Test::RecordProperty("transactions", static_cast<int>(soak.transactions));
  ::testing::Test::RecordProperty("peak_bytes", static_cast<int>(soak.peak_bytes));
}

}  // namespace
}  // namespace ecub
