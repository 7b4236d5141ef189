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
  const double start = NowUsec();
  if (!host.Send(6, frame)) return -1;
  const HostReply r = host.Reply();
  const double elapsed = NowUsec() - start;
  if (!r.ok || r.result != 0 || r.link != 1 || r.data.size() != answer_size) return -1;
  return elapsed;
}

// One round trip of the frame through socat, or -1.
double SocatRoundTrip(ecub::ChildProcess& socat) {
  const double start = NowUsec();
  if (!socat.Write(kFrame)) return -1;
  const auto answer = socat.ReadExactly(kAnswerSize, kReplyTimeout_ms);
  const double elapsed = NowUsec() - start;
  return answer && IsAnswer(*answer) ? elapsed : -1;
}

struct Args {
  int round_trips = 500;
  int default_round_trips = 60;
  int sends = 40;
};

Args ParseArgs(int argc, char** argv) {
  Args args;
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

}  // namespace

int main(int argc, char** argv) {
  const Args args = ParseArgs(argc, argv);
  const std::string quick_ini =
      IniLines({"[AttesaByteTx_usec]", "0", "[Idle_usec]", "0", "[AttesaGlobale_usec]", "1000000"});
  const std::string default_ini = IniLines({"[AttesaGlobale_usec]", "1000000"});

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

  // --- 1. Relay floor, interleaved with socat.
  Host quick;
  if (!StartLinked(quick, quick_folder, quick_unit, quick_ini)) return 1;
  const std::optional<std::string> socat_path = FindSocat();
  ecub::ChildProcess socat;
  bool have_socat = false;
  if (socat_path) {
    have_socat = socat.Start({*socat_path, "STDIO", "FILE:" + socat_unit.link_path() + ",rawer"},
                             {}, ecub::ChildProcess::Stderr::kDiscard);
  }
  std::vector<double> relay, floor;
  for (int i = -kWarmUp; i < args.round_trips; ++i) {
    const double r = RelayRoundTrip(quick, kFrame, kAnswerSize);
    if (r < 0) {
      std::fprintf(stderr, "relay round trip %d failed\n", i);
      return 1;
    }
    if (i >= 0) relay.push_back(r);
    if (!have_socat) continue;
    const double f = SocatRoundTrip(socat);
    if (f < 0) {
      std::fprintf(stderr, "socat round trip %d failed; leaving socat out\n", i);
      have_socat = false;
      floor.clear();
      continue;
    }
    if (i >= 0) floor.push_back(f);
  }
  socat.CloseStdin();
  socat.WaitExit(2000);
  socat.Kill();

  // --- 3. Processor share while sending 59 bytes at 500 us per byte (no idle pause, so the
  // transaction is almost all sending).
  const HostReply byte_wait = quick.Call(9, std::string("\xF4\x01", 2));
  if (byte_wait.data != std::string("\xF4\x01\x00\x00", 4)) {
    std::fprintf(stderr, "the byte wait was not set\n");
    return 1;
  }
  const std::string long_frame = EcuSim::RequestFrame(0x05, std::string(54, '\x5A'));
  const size_t empty_answer = 6;  // 44 01 04 05, outcome, checksum
  const CpuMark send_start = MarkCpu(quick.pid());
  std::vector<double> send_times;
  for (int i = 0; i < args.sends; ++i) {
    const double t = RelayRoundTrip(quick, long_frame, empty_answer);
    if (t < 0) {
      std::fprintf(stderr, "send %d failed\n", i);
      return 1;
    }
    send_times.push_back(t);
  }
  const CpuMark send_end = MarkCpu(quick.pid());
  quick.Stop();

  // --- 2. Overhead with the default waits.
  Host standard;
  if (!StartLinked(standard, default_folder, default_unit, default_ini)) return 1;
  const double minimum = static_cast<double>(kFrame.size()) * 500 + 40000;
  std::vector<double> overhead;
  for (int i = -3; i < args.default_round_trips; ++i) {
    const double r = RelayRoundTrip(standard, kFrame, kAnswerSize);
    if (r < 0) {
      std::fprintf(stderr, "default round trip %d failed\n", i);
      return 1;
    }
    if (i >= 0) overhead.push_back(r - minimum);
  }
  standard.Stop();

  // --- Results.
  const double relay_p50 = Percentile(relay, 0.5);
  const double floor_p50 = have_socat ? Percentile(floor, 0.5) : 0;
  const double ratio = have_socat && floor_p50 > 0 ? relay_p50 / floor_p50 : 0;
  const double overhead_p50 = Percentile(overhead, 0.5);
  const double send_stat = StatPercent(send_start, send_end);
  const double send_sched = SchedPercent(send_start, send_end);
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
  Row("default waits: minimum (5 B x 500 + 40000)", minimum, "us", "-", "-");
  Row("59 B at 500 us/B: transaction p50", Percentile(send_times, 0.5), "us", "-", "-");
  std::snprintf(goal, sizeof goal, "<= %.0f %%", kGoalSendCpu_percent);
  Row("server CPU while sending (utime+stime)", send_stat, "%", goal, Verdict(cpu_met));
  Row("server CPU while sending (schedstat)", send_sched, "%", "-", "-");
  std::printf("runs: %zu relay, %zu socat, %zu default-wait, %zu sends of 59 bytes\n", relay.size(),
              floor.size(), overhead.size(), send_times.size());
  return ratio_met && overhead_met && cpu_met ? 0 : 2;
}
