// Precision and processor cost of the server's waits on this machine.
//
// Runs WaitMicroseconds on the Linux platform many times and reports how late each wait ends
// (the overshoot past the requested time) and how much processor time the waits burn as a
// share of the time waited.
//
// Usage: ecub_bench_wait_precision [--count N]
// Exit code: 0 all goals met, 2 a goal missed.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "server/clock.h"
#include "server/server.h"

namespace {

constexpr double kGoalMedianOvershoot_usec = 25;
constexpr double kGoalCpuShare_percent = 25;

double Seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Result {
  double median_usec = 0;
  double p90_usec = 0;
  double max_usec = 0;
  double cpu_percent = 0;
};

Result Measure(ecub::Server& server, double wait_usec, int count) {
  std::vector<double> overshoots;
  overshoots.reserve(static_cast<size_t>(count));
  double waited = 0;
  const double cpu_start = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < count; ++i) {
    const double start = Seconds(CLOCK_MONOTONIC);
    ecub::WaitMicroseconds(server, wait_usec);
    const double elapsed = Seconds(CLOCK_MONOTONIC) - start;
    waited += elapsed;
    overshoots.push_back(elapsed * 1e6 - wait_usec);
  }
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
  std::sort(overshoots.begin(), overshoots.end());
  Result result;
  result.median_usec = overshoots[overshoots.size() / 2];
  result.p90_usec = overshoots[overshoots.size() * 9 / 10];
  result.max_usec = overshoots.back();
  result.cpu_percent = cpu / waited * 100;
  return result;
}

const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

int ParseCount(int argc, char** argv) {
  int count = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--count") == 0) count = std::max(std::atoi(argv[i + 1]), 10);
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = ParseCount(argc, argv);
  ecub::PosixPlatform platform;
  ecub::Server server(platform, ecub::PosixProgramFolder());
  Measure(server, 500, 20);  // warm up the clock and the caches

  std::printf("WaitMicroseconds on the Linux platform (%d waits of 500 us, %d of 5000 us)\n", count,
              count / 4);
  std::printf("%-10s %-22s %10s %12s  %s\n", "wait", "measure", "result", "goal", "");
  bool all_met = true;
  for (const double wait : {500.0, 5000.0}) {
    const Result r = Measure(server, wait, wait < 1000 ? count : count / 4);
    const bool overshoot_met = r.median_usec <= kGoalMedianOvershoot_usec;
    const bool cpu_met = r.cpu_percent <= kGoalCpuShare_percent;
    all_met = all_met && overshoot_met && cpu_met;
    std::printf("%7.0f us %-22s %7.1f us %9s us  %s\n", wait, "overshoot median", r.median_usec,
                "<= 25", Verdict(overshoot_met));
    std::printf("%7.0f us %-22s %7.1f us %12s\n", wait, "overshoot p90", r.p90_usec, "-");
    std::printf("%7.0f us %-22s %7.1f us %12s\n", wait, "overshoot max", r.max_usec, "-");
    std::printf("%7.0f us %-22s %8.1f %% %10s %%  %s\n", wait, "CPU share of the wait",
                r.cpu_percent, "<= 25", Verdict(cpu_met));
  }
  return all_met ? 0 : 2;
}
