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
#include <map>
#include <random>
#include <string>
#include <vector>

#include "history_check.h"
#include "server/clock.h"
#include "server_fixture.h"

namespace ecub {
namespace {

using test::At;
using test::HostMsg;
using test::LiveRequest;

constexpr double kHour_usec = 3600e6;
constexpr double kSoak_usec = 24 * kHour_usec;
constexpr double kHostMean_usec = 8e6;
constexpr double kGlitchMean_usec = 90e6;
constexpr uint8_t kOtherCommand = 0x0D;
constexpr uint8_t kRelayCommand = 0x0E;
const std::string kLog = "/app/RxTx.TXT";

struct Polled {
  std::string request;
  bool timed;
  int period_ms;
  int history;
  bool cyclic;  // the host may ask its history only then
};

const std::vector<Polled> kTable = {
    {LiveRequest(0), true, 2000, 40, true},
    {LiveRequest(1), true, 10000, 10, true},
    {LiveRequest(2), false, 0, 25, true},
    {EcuSim::RequestFrame(kOtherCommand), true, 30000, 5, false},
};

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
    std::string settings =
        "[LOG]\r\n1\r\n[AttesaGlobale_usec]\r\n300000\r\n[NumResend]\r\n3\r\n"
        "[Idle_usec]\r\n5000\r\n";
    for (const Polled& m : kTable) {
      settings += test::MsgSection(m.request, m.timed, m.period_ms, m.history, m.cyclic);
    }
    p.files["/app/SetComVarno.ini"] = settings;
    // Coarser clock reads: the waits spin a tenth as long, and a day fits a CI run.
    p.read_step_ns = 10000;
    // The unit is reached over a serial port and over a USB interface; the host takes them in
    // turn, one after each hang-up.
    p.com_ports[5] = &units[0];
    test::AddUsb(p, "FT7Q2K1A", "USB <-> Serial", units[1]);
    for (EcuSim& unit : units) {
      unit.config.baud = 9600;
      // Now and then, at the driver's word, a short error frame instead of the live values.
      unit.SetGenerator(EcuSim::kCmdReadMem1, [this](const EcuSim::Request&, double now) {
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
    Ask(HostMsg(10, units[0].ExpectedIdentity()));
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
        // While away the unit answers nothing, and what it was saying is lost.
        away = true;
        for (EcuSim& unit : units) {
          unit.OnClose(now);
          unit.Inject(EcuSim::Fault::kSilence);
        }
        hung_up_since_connect = true;
        ++hangups;
        back_at = now + 10e6 + Uniform() * 290e6;
      } else if (away && now >= back_at) {
        away = false;
        for (EcuSim& unit : units) unit.ClearFaults();
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
      // Runs the loop until the next event, waking then even with nothing else to do.
      const double until =
          std::min({away ? back_at : next_hangup, next_glitch, next_tidy, next_host, end});
      if (until > p.NowUsec()) p.HostSend(std::string(), until - p.NowUsec());
      while (p.NowUsec() < until) {
        LoopPass(s);
        CheckReplies(p.TakeReplies(), -1);
      }
    }
    Tidy();
    Ask(HostMsg(1));
    ServerShutdown(s);
  }

  FakePlatform p;
  Server s;
  EcuSim units[2];  // COM5, USB interface 0
  std::vector<std::string> problems;
  // What happened.
  int64_t transactions = 0;  // answers the unit sent
  int64_t histories = 0;
  int hangups = 0;
  int recoveries = 0;
  int usb_sessions = 0;
  size_t peak_bytes = 0;

 private:
  double Uniform() { return static_cast<double>(rng()) / 4294967296.0; }
  double Exponential(double mean) { return -mean * std::log(1.0 - Uniform()); }

  void Problem(const std::string& what) {
    if (problems.size() < 20) {
      problems.push_back(std::to_string(p.NowUsec() / kHour_usec) + " h: " + what);
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

  // `code` -1: nobody asked.
  void CheckReplies(const std::vector<std::string>& got, int code) {
    for (const std::string& reply : got) {
      if (code < 0) Problem("a reply nobody asked for");
      const std::string problem = test::ReplyProblem(reply, code < 0 ? At(reply, 2) : code);
      if (!problem.empty()) {
        Problem(problem);
      } else if (link_up && reply[3] == 0) {
        link_up = false;
        on_usb ^= 1;  // the next session goes over the other port
        // One glitch at a time is within what the retries absorb: only a hang-up drops the link.
        if (!hung_up_since_connect) Problem("link dropped without a hang-up");
      }
    }
  }

  void Connect() {
    const std::string reply = Ask(HostMsg(3, std::string(1, on_usb ? '\0' : '\x05')));
    if (reply.size() > 3 && reply[3] == 1) {
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
    const uint32_t kind = rng() % 3;
    if (kind == 2) {
      short_answer_next = true;
    } else {
      units[on_usb].Inject(kind == 0 ? EcuSim::Fault::kSilence : EcuSim::Fault::kBadChecksum, 1);
    }
  }

  void HostAction(double& cyclic_until) {
    const size_t index = rng() % kTable.size();
    const Polled& m = kTable[index];
    const uint32_t action = rng() % 8;
    if (action <= 2 && m.cyclic) {
      CheckHistory(index, Ask(HostMsg(7, m.request)));
    } else if (action <= 4) {
      CheckAnswer(Ask(HostMsg(6, m.request)), At(m.request, 3), "stored");
    } else if (action == 5) {
      CheckAnswer(Ask(HostMsg(6, EcuSim::RequestFrame(kRelayCommand))), kRelayCommand, "relayed");
    } else if (action == 6) {
      // Every half hour or so, fifteen seconds of cyclic polling.
      if (cyclic_until == 0 && rng() % 32 == 0) {
        Ask(HostMsg(4, std::string(1, '\x01')));
        cyclic_until = p.NowUsec() + 15e6;
      }
    } else {
      Ask(HostMsg(0, "ping"));
    }
  }

  void CheckAnswer(const std::string& reply, uint8_t command, const std::string& kind) {
    if (reply.size() < 8 || reply[7] != 0) return;
    const std::string answer = reply.substr(8);
    if (answer.empty()) return;  // nothing stored yet, or the link is down
    std::vector<test::HistoryEntry> parsed;
    const std::string as_entry = std::string(8, '\0') + answer;
    const std::string error = test::ParseHistoryBlock(as_entry, command, false, parsed);
    if (!error.empty() || parsed.size() != 1) Problem(kind + " answer malformed");
  }

  void CheckHistory(size_t index, const std::string& reply) {
    if (reply.size() < 8 || reply[7] != 0) {
      Problem("history refused");
      return;
    }
    ++histories;
    const std::string record = "history of record " + std::to_string(index) + ": ";
    std::vector<test::HistoryEntry> got;
    const std::string error =
        test::ParseHistoryBlock(reply.substr(8), At(kTable[index].request, 3), false, got);
    if (!error.empty()) Problem(record + error);
    const uint32_t now_ms = static_cast<uint32_t>(ElapsedMs(s));
    for (const test::HistoryEntry& entry : got) {
      // Each entry newer than the one before, none handed out twice, none from the future.
      if (entry.time_ms <= last_time_ms[index] || entry.time_ms > now_ms) {
        Problem(record + "entry out of order");
      }
      last_time_ms[index] = entry.time_ms;
    }
    if (got.size() > static_cast<size_t>(kTable[index].history)) Problem(record + "too long");
  }

  // Every minute: the held bytes and stored histories are checked, and the records the
  // simulation keeps for inspection are dropped.
  void Tidy() {
    peak_bytes = std::max(peak_bytes, HeldBytes(s, p));
    for (size_t i = 0; i < kTable.size(); ++i) {
      std::vector<test::HistoryEntry> stored;
      const std::string error = test::ParseHistoryBlock(
          std::string(4, '\0') + s.MsgTable[i].MsgHistory, At(kTable[i].request, 3), false, stored);
      if (!error.empty()) Problem("stored history of record " + std::to_string(i) + ": " + error);
      if (stored.size() > static_cast<size_t>(kTable[i].history)) {
        Problem("record " + std::to_string(i) + " stores more entries than its places");
      }
    }
    for (EcuSim& unit : units) {
      transactions += static_cast<int64_t>(unit.answers_sent());
      unit.ForgetRecords();
    }
    p.ForgetRecords();
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
  std::cout << "[ soak: " << soak.transactions << " transactions, " << soak.histories
            << " histories, " << soak.hangups << " hang-ups (" << soak.usb_sessions
            << " sessions over USB), peak " << soak.peak_bytes << " bytes held ]\n";
  // The run did what it claims: a day of traffic, hang-ups survived, histories handed out.
  EXPECT_GE(soak.transactions, 50000);
  EXPECT_GE(soak.hangups, 5);
  EXPECT_EQ(soak.recoveries, soak.hangups);
  EXPECT_GE(soak.usb_sessions, soak.hangups / 2);
  EXPECT_GE(soak.histories, 1000);
  // Memory: the histories at their places, each entry a time and a frame, twice over for
  // string growth, and a few kilobytes for buffers and small files.
  size_t bound = 16384;
  for (const Polled& m : kTable) bound += 2 * static_cast<size_t>(m.history + 1) * (4 + 257);
  EXPECT_LE(soak.peak_bytes, bound);
}

}  // namespace
}  // namespace ecub
