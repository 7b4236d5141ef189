// Cost of one relayed command (instruction 6) through the real server, against a simulated
// control unit on a pseudo-terminal that answers at once.
//
// 1. Relay floor: with no per-byte wait and no idle pause, the host round trip of a frame
//    through the server, next to the same frame round-tripped by socat between a pipe and the
//    same kind of pseudo-terminal (the cost of any relay process). Measured interleaved, so both
//    see the same machine.
// 2. Overhead with the default waits (500 us after each byte, 40 ms pause): the round trip
//    minus the time those waits must take.
// 3. Processor share of the server while it sends a 59-byte frame at 500 us per byte.
//
// Usage: ecub_bench_transaction [--round-trips N] [--default-round-trips N] [--sends N]
// Exit code: 0 all goals met, 2 a goal missed, 1 the run itself failed.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench_host.h"

namespace {

using ecub::EcuSim;
using ecub::MonotonicUsec;
using namespace ecub::bench;

constexpr double kGoalRatioToSocat = 2.0;
constexpr double kGoalOverheadP50_usec = 500;
constexpr double kGoalSendCpu_percent = 25;
constexpr int kWarmUp = 20;

const std::string kFrame = EcuSim::RequestFrame(EcuSim::kCmdReadMem1);
constexpr size_t kAnswerSize = 18;  // 44 01 10 0C, outcome, 12 bytes of live values, checksum

EcuSim::Config InstantUnit() {
  EcuSim::Config config;
  config.answer_delay_usec = 0;
  config.baud = 0;
  return config;
}

std::optional<std::string> FindSocat() {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/socat";
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

bool IsAnswer(const std::string& bytes) {
  return bytes.size() == kAnswerSize && bytes[0] == 0x44 && EcuSim::Xor(bytes) == 0;
}

// One instruction-6 round trip in microseconds, or -1 when the reply is not the answer.
double RelayRoundTrip(Host& host, const std::string& frame, size_t answer_size) {
  const double start = MonotonicUsec();
  if (!host.Send(6, frame)) return -1;
  const HostReply r = host.Reply();
  const double elapsed = MonotonicUsec() - start;
  if (!r.ok || r.result != 0 || r.link != 1 || r.data.size() != answer_size) return -1;
  return elapsed;
}

// One round trip of the frame through socat, or -1.
double SocatRoundTrip(ecub::ChildProcess& socat) {
  const double start = MonotonicUsec();
  if (!socat.Write(kFrame)) return -1;
  const auto answer = socat.ReadExactly(kAnswerSize, kReplyTimeout_ms);
  const double elapsed = MonotonicUsec() - start;
  return answer && IsAnswer(*answer) ? elapsed : -1;
}

struct Options {
  int round_trips = 500;
  int default_round_trips = 60;
  int sends = 40;
};

Options ParseOptions(int argc, char** argv) {
  Options args;
  for (int i = 1; i + 1 < argc; i += 2) {
    const int value = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--round-trips") == 0) args.round_trips = value;
    if (std::strcmp(argv[i], "--default-round-trips") == 0) args.default_round_trips = value;
    if (std::strcmp(argv[i], "--sends") == 0) args.sends = value;
  }
  return args;
}

// A server in `folder` linked to its unit on COM1, with polling off.
bool StartLinked(Host& host, const Folder& folder, Unit& unit, const std::string& ini) {
  folder.Write("SetComVarno.ini", ini);
  if (!host.Start(folder.path())) {
    std::fprintf(stderr, "cannot start %s\n", ECUBRIDGE_EXE);
    return false;
  }
  if (!host.Connect(1, unit) || host.Call(4, std::string(1, '\x02')).poll != 2) {
    std::fprintf(stderr, "the server did not find the simulated unit\n");
    return false;
  }
  return true;
}

// Relay round trips on the quick server, each followed by one through socat when it is
// installed: the floor a pipe to a pseudo-terminal allows. False after printing why.
struct RelayRun {
  std::vector<double> relay;
  std::vector<double> floor;  // empty without socat
  bool have_socat = false;
};
bool MeasureRelay(Host& quick, Unit& socat_unit, int round_trips, RelayRun& run) {
  const std::optional<std::string> socat_path = FindSocat();
  ecub::ChildProcess socat;
  if (socat_path) {
    run.have_socat =
        socat.Start({*socat_path, "STDIO", "FILE:" + socat_unit.link_path() + ",rawer"}, {},
                    ecub::ChildProcess::Stderr::kDiscard);
  }
  for (int i = -kWarmUp; i < round_trips; ++i) {
    const double r = RelayRoundTrip(quick, kFrame, kAnswerSize);
    if (r < 0) {
      std::fprintf(stderr, "relay round trip %d failed\n", i);
      return false;
    }
    if (i >= 0) run.relay.push_back(r);
    if (!run.have_socat) continue;
    const double f = SocatRoundTrip(socat);
    if (f < 0) {
      std::fprintf(stderr, "socat round trip %d failed; leaving socat out\n", i);
      run.have_socat = false;
      run.floor.clear();
      continue;
    }
    if (i >= 0) run.floor.push_back(f);
  }
  socat.CloseStdin();
  socat.WaitExit(2000);
  socat.Kill();
  return true;
}

// Processor share while sending 59 bytes at 500 us per byte (no idle pause, so the
// transaction is almost all sending). False after printing why.
struct SendRun {
  std::vector<double> times;
  CpuMark start;
  CpuMark end;
};
bool MeasureSending(Host& quick, int sends, SendRun& run) {
  const HostReply byte_wait = quick.Call(9, std::string("\xF4\x01", 2));
  if (byte_wait.data != std::string("\xF4\x01\x00\x00", 4)) {
    std::fprintf(stderr, "the byte wait was not set\n");
    return false;
  }
  const std::string long_frame = EcuSim::RequestFrame(0x05, std::string(54, '\x5A'));
  const size_t empty_answer = 6;  // 44 01 04 05, outcome, checksum
  run.start = MarkCpu(quick.pid());
  for (int i = 0; i < sends; ++i) {
    const double t = RelayRoundTrip(quick, long_frame, empty_answer);
    if (t < 0) {
      std::fprintf(stderr, "send %d failed\n", i);
      return false;
    }
    run.times.push_back(t);
  }
  run.end = MarkCpu(quick.pid());
  return true;
}

// The least a transaction takes with the default waits: five bytes at 500 us and 40 ms.
double DefaultMinimum() {
  return static_cast<double>(kFrame.size()) * 500 + 40000;
}

// Time above DefaultMinimum() of each round trip with the default waits. False after printing
// why.
bool MeasureOverhead(Host& standard, int round_trips, std::vector<double>& overhead) {
  for (int i = -3; i < round_trips; ++i) {
    const double r = RelayRoundTrip(standard, kFrame, kAnswerSize);
    if (r < 0) {
      std::fprintf(stderr, "default round trip %d failed\n", i);
      return false;
    }
    if (i >= 0) overhead.push_back(r - DefaultMinimum());
  }
  return true;
}

// Prints the table; 0 when every goal was met, 2 otherwise.
int Report(const RelayRun& relay_run, const SendRun& send, const std::vector<double>& overhead) {
  const std::vector<double>& relay = relay_run.relay;
  const std::vector<double>& floor = relay_run.floor;
  const bool have_socat = relay_run.have_socat;
  const double relay_p50 = Percentile(relay, 0.5);
  const double floor_p50 = have_socat ? Percentile(floor, 0.5) : 0;
  const double ratio = have_socat && floor_p50 > 0 ? relay_p50 / floor_p50 : 0;
  const double overhead_p50 = Percentile(overhead, 0.5);
  const double send_stat = StatPercent(send.start, send.end);
  const double send_sched = SchedPercent(send.start, send.end);
  const bool ratio_met = !have_socat || ratio <= kGoalRatioToSocat;
  const bool overhead_met = overhead_p50 <= kGoalOverheadP50_usec;
  const bool cpu_met = send_stat >= 0 && send_stat <= kGoalSendCpu_percent;

  char goal[64];
  Header("ecubridge command transaction (instruction 6, unit answering at once)");
  Row("relay round trip p50 (no waits)", relay_p50, "us", "-", "-");
  Row("relay round trip p99 (no waits)", Percentile(relay, 0.99), "us", "-", "-");
  if (have_socat) {
    Row("socat pipe<->pty round trip p50", floor_p50, "us", "floor", "-");
    Row("socat pipe<->pty round trip p99", Percentile(floor, 0.99), "us", "-", "-");
    std::snprintf(goal, sizeof goal, "<= %.1f", kGoalRatioToSocat);
    Row("relay p50 / socat p50", ratio, "x", goal, Verdict(ratio_met));
  } else {
    std::printf("%-44s %s\n", "socat pipe<->pty round trip", "socat not installed");
  }
  std::snprintf(goal, sizeof goal, "<= %.0f us", kGoalOverheadP50_usec);
  Row("default waits: overhead p50", overhead_p50, "us", goal, Verdict(overhead_met));
  Row("default waits: overhead p99", Percentile(overhead, 0.99), "us", "-", "-");
  Row("default waits: minimum (5 B x 500 + 40000)", DefaultMinimum(), "us", "-", "-");
  Row("59 B at 500 us/B: transaction p50", Percentile(send.times, 0.5), "us", "-", "-");
  std::snprintf(goal, sizeof goal, "<= %.0f %%", kGoalSendCpu_percent);
  Row("server CPU while sending (utime+stime)", send_stat, "%", goal, Verdict(cpu_met));
  Row("server CPU while sending (schedstat)", send_sched, "%", "-", "-");
  std::printf("runs: %zu relay, %zu socat, %zu default-wait, %zu sends of 59 bytes\n", relay.size(),
              floor.size(), overhead.size(), send.times.size());
  return ratio_met && overhead_met && cpu_met ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  Folder quick_folder, default_folder;
  if (!quick_folder.ok() || !default_folder.ok()) return 1;
  Unit quick_unit(quick_folder.path(), 1, InstantUnit());
  Unit socat_unit(quick_folder.path(), 2, InstantUnit());
  Unit default_unit(default_folder.path(), 1, InstantUnit());
  for (Unit* unit : {&quick_unit, &socat_unit, &default_unit}) {
    if (!unit->ok()) {
      std::fprintf(stderr, "harness: %s\n", unit->error().c_str());
      return 1;
    }
  }
  Host quick;
  RelayRun relay;
  SendRun send;
  if (!StartLinked(quick, quick_folder, quick_unit,
                   IniLines({"[AttesaByteTx_usec]", "0", "[Idle_usec]", "0", "[AttesaGlobale_usec]",
                             "1000000"})) ||
      !MeasureRelay(quick, socat_unit, options.round_trips, relay) ||
      !MeasureSending(quick, options.sends, send)) {
    return 1;
  }
  quick.Stop();
  Host standard;
  std::vector<double> overhead;
  if (!StartLinked(standard, default_folder, default_unit,
                   IniLines({"[AttesaGlobale_usec]", "1000000"})) ||
      !MeasureOverhead(standard, options.default_round_trips, overhead)) {
    return 1;
  }
  standard.Stop();
  return Report(relay, send, overhead);
}
