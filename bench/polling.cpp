// Automatic polling of the real server against a simulated control unit on a
// pseudo-terminal.
//
// 1. Timed polling with one slow message (every second): how often the server wakes and how
//    much processor time it takes meanwhile. A loop that woke every millisecond would show
//    about a thousand wake-ups a second.
// 2. Cyclic polling rate with no per-byte wait, no idle pause and a unit that answers at once:
//    transactions per second, counted at the unit.
// 3. A host instruction 6 for the polled value while a polling transaction waits on a silent
//    unit: time from the write of the message to its reply.
//
// Usage: ecub_bench_polling [--seconds N] [--tries N]
// Exit code: 0 all goals met, 2 a goal missed, 1 the run itself failed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_host.h"
#include "codec/hex.h"

namespace {

using ecub::BytesToHex;
using ecub::EcuSim;
using ecub::MonotonicUsec;
using namespace ecub::bench;

constexpr double kGoalCyclicRate_per_s = 700;
constexpr double kGoalTimedWakeups_per_s = 20;
constexpr double kGoalTimedCpu_percent = 0.2;
constexpr double kGoalServedDuringTransaction_usec = 6000;

const std::string kFrame = EcuSim::RequestFrame(EcuSim::kCmdReadMem1);

void SleepUsec(double usec) {
  std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(usec));
}

struct Options {
  double seconds = 3;
  int tries = 100;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) o.seconds = std::max(0.5, std::atof(argv[i + 1]));
    if (std::strcmp(argv[i], "--tries") == 0) o.tries = std::max(1, std::atoi(argv[i + 1]));
  }
  return o;
}

// The server started on a folder whose one message is timed every 1000 ms and cyclic, keeping
// 50 answers, and linked to the unit on COM1. False after printing why.
bool StartLinked(const Folder& folder, Unit& unit, Host& host) {
  if (!unit.ok()) {
    std::fprintf(stderr, "harness: %s\n", unit.error().c_str());
    return false;
  }
  folder.Write(
      "SetComVarno.ini",
      IniLines({"[AttesaByteTx_usec]", "0", "[Idle_usec]", "0", "[AttesaGlobale_usec]", "1000000",
                "[MSG]", "1", "live values", BytesToHex(kFrame), "1", "1000", "50", "0", "1"}));
  if (!host.Start(folder.path())) {
    std::fprintf(stderr, "cannot start %s\n", ECUBRIDGE_EXE);
    return false;
  }
  if (!host.Connect(1, unit)) {
    std::fprintf(stderr, "the server did not find the simulated unit\n");
    return false;
  }
  return true;
}

// CPU marks around a phase and the requests the unit saw in it.
struct Phase {
  CpuMark start;
  CpuMark end;
  size_t requests = 0;
};

// `seconds` of the polling the server is in, after `settle_usec` for it to start.
Phase Observe(Host& host, Unit& unit, double settle_usec, double seconds) {
  SleepUsec(settle_usec);
  Phase phase;
  const size_t before = unit.RequestCount();
  phase.start = MarkCpu(host.pid());
  SleepUsec(seconds * 1e6);
  phase.requests = unit.RequestCount() - before;
  phase.end = MarkCpu(host.pid());
  return phase;
}

// Instruction 6 for the polled value while a polling transaction waits on the unit, now
// silent: the time from each write to its reply. False after printing why.
bool ServeDuringSilence(Host& host, Unit& unit, int tries, std::vector<double>& served,
                        size_t& silent_sent) {
  // Polling transactions of 65 s, far longer than the tries take.
  if (host.Call(8, std::string("\xFF\xFF", 2)).result != 0) return false;
  const size_t silent_from = unit.With([](EcuSim& sim) {
    sim.Inject(EcuSim::Fault::kSilence);
    return sim.requests().size();
  });
  for (int i = 0; i < 1000 && unit.RequestCount() <= silent_from; ++i) SleepUsec(2000);
  if (unit.RequestCount() <= silent_from) {
    std::fprintf(stderr, "no polling transaction started after the unit fell silent\n");
    return false;
  }
  uint32_t spread = 12345;
  for (int i = 0; i < tries; ++i) {
    // Spread the writes over the 5 ms period at which the waiting transaction looks at the pipe.
    spread = spread * 1103515245u + 12345u;
    SleepUsec(1000 + static_cast<double>((spread >> 8) % 7000));
    const double start = MonotonicUsec();
    if (!host.Send(6, kFrame)) return false;
    const HostReply r = host.Reply();
    const double elapsed = MonotonicUsec() - start;
    if (!r.ok || r.result != 0 || r.link != 1 || r.data.empty()) {
      std::fprintf(stderr, "try %d: not answered from the table during the transaction\n", i);
      return false;
    }
    served.push_back(elapsed);
  }
  silent_sent = unit.RequestCount() - silent_from;
  return true;
}

// Prints the table; 0 when every goal was met, 2 otherwise.
int Report(const Options& o, const Phase& timed, const Phase& cyclic,
           const std::vector<double>& served, size_t silent_sent) {
  const double rate = static_cast<double>(cyclic.requests) /
                      ((cyclic.end.wall_usec - cyclic.start.wall_usec) / 1e6);
  const double timed_wakeups = WakeupsPerSecond(timed.start, timed.end);
  const double timed_sched = SchedPercent(timed.start, timed.end);
  const double served_max = Percentile(served, 1.0);
  const bool rate_met = rate >= kGoalCyclicRate_per_s;
  const bool wakeups_met = timed_wakeups >= 0 && timed_wakeups <= kGoalTimedWakeups_per_s;
  const bool timed_cpu_met = timed_sched >= 0 && timed_sched <= kGoalTimedCpu_percent;
  const bool served_met = served_max <= kGoalServedDuringTransaction_usec;

  char goal[64];
  Header("ecubridge automatic polling (unit answering at once, no waits)");
  std::snprintf(goal, sizeof goal, ">= %.0f /s", kGoalCyclicRate_per_s);
  Row("cyclic polling rate", rate, "/s", goal, Verdict(rate_met));
  Row("server CPU while polling cyclically", SchedPercent(cyclic.start, cyclic.end), "%", "-", "-");
  std::snprintf(goal, sizeof goal, "<= %.0f /s", kGoalTimedWakeups_per_s);
  Row("timed polling, 1 s period: wake-ups", timed_wakeups, "/s", goal, Verdict(wakeups_met));
  std::snprintf(goal, sizeof goal, "<= %.1f %%", kGoalTimedCpu_percent);
  Row("timed polling, 1 s period: CPU (sched)", timed_sched, "%", goal, Verdict(timed_cpu_met));
  Row("timed polling, 1 s period: CPU (stat)", StatPercent(timed.start, timed.end), "%", "-", "-");
  Row("timed polling: transactions in the phase", static_cast<double>(timed.requests), "n", "-",
      "-");
  std::snprintf(goal, sizeof goal, "<= %.0f us", kGoalServedDuringTransaction_usec);
  Row("instr. 6 during silent transaction p50", Percentile(served, 0.5), "us", "-", "-");
  Row("instr. 6 during silent transaction p99", Percentile(served, 0.99), "us", "-", "-");
  Row("instr. 6 during silent transaction max", served_max, "us", goal, Verdict(served_met));
  std::printf("runs: %.1f s per phase, %zu tries; requests in the silent phase: %zu\n", o.seconds,
              served.size(), silent_sent);
  return rate_met && wakeups_met && timed_cpu_met && served_met ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  Folder folder;
  if (!folder.ok()) return 1;
  EcuSim::Config config;
  config.answer_delay_usec = 0;
  config.baud = 0;
  Unit unit(folder.path(), 1, config);
  Host host;
  if (!StartLinked(folder, unit, host)) return 1;

  // Timed polling is the mode after start-up.
  const Phase timed = Observe(host, unit, 300000, options.seconds);
  if (host.Call(4, std::string(1, '\x01')).poll != 1) return 1;
  const Phase cyclic = Observe(host, unit, 200000, options.seconds);
  std::vector<double> served;
  size_t silent_sent = 0;
  if (!ServeDuringSilence(host, unit, options.tries, served, silent_sent)) return 1;
  host.Stop();
  return Report(options, timed, cyclic, served, silent_sent);
}
