// Host round-trip latency and idle cost of the ecubridge server.
//
// Starts the server as a child in a fresh folder, as a host program would, times echo
// instructions from the write of a message to the last byte of its reply, then leaves the
// server idle and measures the processor time it takes meanwhile. Beside each echo, the same 32
// bytes go through a floor: a child process that does nothing but echo them over plain pipes,
// both sides blocked in poll(), which is the least any echo across two processes costs here.
//
// Usage: ecub_bench_host_latency [--round-trips N] [--payload BYTES] [--idle-seconds N]
// Exit code: 0 all goals met, 2 a goal missed, 1 the run itself failed.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/host_codec.h"
#include "platform/posix/child_process.h"
#include "platform/posix/temp_folder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoalP50_usec = 50;
constexpr double kGoalP99_usec = 500;
constexpr double kGoalIdleCpu_percent = 0.2;
constexpr double kGoalFloorRatio = 2;
constexpr int kReplyTimeout_ms = 5000;
constexpr int kWarmUpRoundTrips = 50;

double Percentile(std::vector<double> sorted_values, double fraction) {
  std::sort(sorted_values.begin(), sorted_values.end());
  const size_t index =
      static_cast<size_t>(fraction * static_cast<double>(sorted_values.size() - 1));
  return sorted_values[index];
}

// Processor time of process `pid` in seconds from /proc/PID/stat (user + system), or -1.
double StatCpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name is in parentheses and may hold blanks: count fields after its end.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int number = 3; fields >> field; ++number) {  // field 3 is the state
    if (number == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 15) {
      stime = std::strtoull(field.c_str(), nullptr, 10);
      return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return -1;
}

// Time on the processor in seconds from /proc/PID/schedstat (nanoseconds), or -1 when the
// kernel does not keep it. Much finer than the clock ticks of /proc/PID/stat.
double SchedCpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  unsigned long long on_cpu_ns = 0;
  if (!(in >> on_cpu_ns)) return -1;
  return static_cast<double>(on_cpu_ns) / 1e9;
}

// Reads exactly `count` bytes from `fd`, blocked in poll() while none are there.
bool ReadAll(int fd, char* data, size_t count) {
  size_t got = 0;
  while (got < count) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, kReplyTimeout_ms) <= 0) return false;
    const ssize_t n = read(fd, data + got, count - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The floor: a child that echoes every `size` bytes it reads back over a second pipe.
class PipeEcho {
 public:
  explicit PipeEcho(size_t size) : size_(size) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(to_child[1]);
      close(from_child[0]);
      std::string buffer(size_, '\0');
      while (ReadAll(to_child[0], buffer.data(), size_)) {
        if (write(from_child[1], buffer.data(), size_) != static_cast<ssize_t>(size_)) break;
      }
      _exit(0);
    }
    close(to_child[0]);
    close(from_child[1]);
    to_ = to_child[1];
    from_ = from_child[0];
  }
  ~PipeEcho() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  // One round trip in microseconds, or -1.
  double RoundTrip(const std::string& bytes) {
    std::string back(size_, '\0');
    const auto start = Clock::now();
    if (write(to_, bytes.data(), size_) != static_cast<ssize_t>(size_) ||
        !ReadAll(from_, back.data(), size_) || back != bytes) {
      return -1;
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  }

 private:
  size_t size_;
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

bool ReadReply(ecub::ChildProcess& server, std::string& reply) {
  const auto header = server.ReadExactly(ecub::kHostHeaderSize, kReplyTimeout_ms);
  if (!header) return false;
  const size_t length = ecub::ReplyLength(*header);
  if (length < ecub::kHostHeaderSize) return false;
  const auto data = server.ReadExactly(length - ecub::kHostHeaderSize, kReplyTimeout_ms);
  if (!data) return false;
  reply = *header + *data;
  return true;
}

const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

struct Options {
  int round_trips = 2000;
  int payload_size = 32;
  double idle_seconds = 10;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--round-trips") == 0) o.round_trips = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--payload") == 0) o.payload_size = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--idle-seconds") == 0) o.idle_seconds = std::atof(argv[i + 1]);
  }
  o.round_trips = std::max(o.round_trips, 1);
  o.payload_size = std::clamp(o.payload_size, 0, 4000);
  return o;
}

// Echo round trips after a warm-up, in microseconds each; false after printing why.
// Each echo is followed by the same bytes through the pipe floor, so both see the same machine.
bool MeasureEchoes(ecub::ChildProcess& server, const Options& o, std::vector<double>& latencies,
                   std::vector<double>& floor_latencies) {
  latencies.reserve(static_cast<size_t>(o.round_trips));
  PipeEcho floor(static_cast<size_t>(o.payload_size));
  for (int i = -kWarmUpRoundTrips; i < o.round_trips; ++i) {
    std::string payload(static_cast<size_t>(o.payload_size), '\0');
    for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(i * 7 + k);
    const std::string message = ecub::EncodeHostMessage(0, payload);
    std::string reply;
    const auto start = Clock::now();
    if (!server.Write(message) || !ReadReply(server, reply)) {
      std::fprintf(stderr, "round trip %d: no reply\n", i);
      return false;
    }
    const auto end = Clock::now();
    const auto decoded = ecub::DecodeReply(reply);
    if (!decoded || decoded->code != 0 || decoded->result != 0 || decoded->data != payload) {
      std::fprintf(stderr, "round trip %d: the reply is not the echo\n", i);
      return false;
    }
    if (i >= 0) latencies.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    const double floor_usec = floor.RoundTrip(payload);
    if (floor_usec < 0) {
      std::fprintf(stderr, "round trip %d: the pipe floor did not echo\n", i);
      return false;
    }
    if (i >= 0) floor_latencies.push_back(floor_usec);
  }
  return true;
}

struct IdleCpu {
  double stat_percent = -1;   // from clock ticks
  double sched_percent = -1;  // from nanoseconds
};

// The server's share of a core while the host stays silent for `seconds`.
IdleCpu MeasureIdle(const ecub::ChildProcess& server, double seconds) {
  IdleCpu idle;
  const double stat_before = StatCpuSeconds(server.pid());
  const double sched_before = SchedCpuSeconds(server.pid());
  const auto idle_start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double stat_after = StatCpuSeconds(server.pid());
  const double sched_after = SchedCpuSeconds(server.pid());
  const double wall = std::chrono::duration<double>(Clock::now() - idle_start).count();
  if (stat_before >= 0 && stat_after >= 0) {
    idle.stat_percent = (stat_after - stat_before) / wall * 100;
  }
  if (sched_before >= 0 && sched_after >= 0) {
    idle.sched_percent = (sched_after - sched_before) / wall * 100;
  }
  return idle;
}

// Quits, and makes sure the server really ends: its exit code, or nothing after printing why.
std::optional<int> Quit(ecub::ChildProcess& server) {
  std::string reply;
  bool answered = true;
  if (!server.Write(ecub::EncodeHostMessage(1)) || !ReadReply(server, reply) || reply[2] != 1) {
    std::fprintf(stderr, "no reply to the quit instruction\n");
    answered = false;
  }
  const std::optional<int> exit_code = server.WaitExit(kReplyTimeout_ms);
  if (!exit_code) {
    std::fprintf(stderr, "the server did not end after the quit instruction\n");
    server.Kill();
    server.WaitExit(-1);
  }
  return answered ? exit_code : std::nullopt;
}

// Prints the table; 0 when every goal was met, 2 otherwise.
int Report(const Options& o, const std::vector<double>& latencies,
           const std::vector<double>& floor_latencies, const IdleCpu& idle, int exit_code) {
  const double p50 = Percentile(latencies, 0.50);
  const double p99 = Percentile(latencies, 0.99);
  const double max = *std::max_element(latencies.begin(), latencies.end());
  const bool p50_met = p50 <= kGoalP50_usec;
  const bool p99_met = p99 <= kGoalP99_usec;
  const bool idle_met = idle.stat_percent >= 0 && idle.stat_percent < kGoalIdleCpu_percent;
  const double floor_p50 = Percentile(floor_latencies, 0.50);
  const double ratio = p50 / floor_p50;
  const bool ratio_met = ratio <= kGoalFloorRatio;

  std::printf("ecubridge host round trip: %d echoes of %d bytes, idle %.1f s\n", o.round_trips,
              o.payload_size, o.idle_seconds);
  std::printf("%-28s %12s %12s  %s\n", "measure", "result", "goal", "");
  std::printf("%-28s %9.1f us %9s us  %s\n", "echo p50", p50, "<= 50", Verdict(p50_met));
  std::printf("%-28s %9.1f us %9s us  %s\n", "echo p99", p99, "<= 500", Verdict(p99_met));
  std::printf("%-28s %9.1f us %12s\n", "echo max", max, "-");
  std::printf("%-28s %9.1f us %12s\n", "pipe floor p50", floor_p50, "-");
  std::printf("%-28s %10.2f x %10s x  %s\n", "echo p50 / floor p50", ratio, "<= 2",
              Verdict(ratio_met));
  std::printf("%-28s %10.3f %% %10s %%  %s\n", "idle CPU (stat ticks)", idle.stat_percent, "< 0.2",
              Verdict(idle_met));
  if (idle.sched_percent >= 0) {
    std::printf("%-28s %10.4f %% %12s\n", "idle CPU (schedstat)", idle.sched_percent, "-");
  }
  std::printf("%-28s %12d\n", "exit code after quit", exit_code);
  return p50_met && p99_met && idle_met && ratio_met ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  const ecub::TempFolder folder("bench");
  if (folder.path().empty()) {
    std::perror("mkdtemp");
    return 1;
  }
  ecub::ChildProcess server;
  if (!server.Start({ECUBRIDGE_EXE}, {{"ECUBRIDGE_HOME", folder.path()}})) {
    std::fprintf(stderr, "cannot start %s\n", ECUBRIDGE_EXE);
    return 1;
  }
  std::vector<double> latencies;
  IdleCpu idle;
  std::optional<int> exit_code;
  std::vector<double> floor_latencies;
  if (MeasureEchoes(server, options, latencies, floor_latencies)) {
    idle = MeasureIdle(server, options.idle_seconds);
    exit_code = Quit(server);
  }
  if (!exit_code) return 1;
  return Report(options, latencies, floor_latencies, idle, *exit_code);
}
