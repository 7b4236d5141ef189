// Round-trip time of one byte through a simulated unit on a pseudo-terminal, on this machine.
//
// Opens a COM port served by PtyLink (on its background thread) through the Linux platform,
// writes one byte, waits with WaitPortInput until the unit's answer byte is queued, and reads
// it back, as the byte layer does. The unit answers at once, so the time measured is the
// harness and platform overhead that adds to every simulated answer.
//
// Usage: ecub_bench_serial_round_trip [--count N]
// Exit code: 0 goal met, 1 setup failed, 2 goal missed.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "platform/posix/temp_folder.h"
#include "sim/posix/pty_link.h"

namespace {

// The byte layer sends one byte every 500 us by default; the harness must stay well inside it.
constexpr double kGoalMedian_usec = 200;

// Answers every byte with the same byte, immediately.
class Echo : public ecub::SimLink {
 public:
  void OnByte(uint8_t byte, double) override { out_.push_back(static_cast<char>(byte)); }
  size_t Queued(double) override { return out_.size(); }
  std::string Take(size_t max, double) override {
    std::string bytes = out_.substr(0, max);
    out_.erase(0, bytes.size());
    return bytes;
  }
  double NextArrival(double) override { return std::numeric_limits<double>::infinity(); }

 private:
  std::string out_;
};

int ParseCount(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--count") == 0) return std::max(1, atoi(argv[2]));
  return 20000;
}

// `count` one-byte round trips through the serial port layer to an echoing unit linked as COM1
// in `folder`; prints the result and returns the exit code.
int Measure(const std::string& folder, int count) {
  Echo unit;
  ecub::PtyLink pty(&unit, folder + "/ports", 1);
  if (!pty.ok()) {
    std::fprintf(stderr, "harness: %s\n", pty.error().c_str());
    return 1;
  }
  pty.Start();
  ecub::PosixPlatform platform(-1, -1, folder);
  const int64_t port = platform.OpenSerial("\\\\.\\COM1");
  if (port < 0) {
    std::fprintf(stderr, "open: %s\n", std::strerror(static_cast<int>(platform.GetLastError())));
    return 1;
  }
  std::vector<double> times;
  times.reserve(static_cast<size_t>(count));
  int lost = 0;
  for (int i = 0; i < count; ++i) {
    const std::string byte(1, static_cast<char>(i));
    uint32_t written = 0, errors = 0, queued = 0, read = 0;
    std::string got;
    const double start = ecub::MonotonicUsec();
    platform.WriteFile(port, byte, written);
    while (queued == 0 && ecub::MonotonicUsec() - start < 100000) {
      platform.WaitPortInput(port, false, 100000);
      if (!platform.ClearCommError(port, errors, queued)) break;
    }
    platform.ReadFile(port, queued, got, read);
    const double elapsed = ecub::MonotonicUsec() - start;
    if (got != byte) {
      ++lost;
      continue;
    }
    times.push_back(elapsed);
  }
  platform.CloseHandle(port);
  std::sort(times.begin(), times.end());
  if (times.empty()) return 1;
  const double median = times[times.size() / 2];
  std::printf("one-byte round trip over %zu runs: median %.1f us, p99 %.1f us, max %.1f us\n",
              times.size(), median, times[times.size() * 99 / 100], times.back());
  std::printf("lost or wrong answers: %d\n", lost);
  const bool met = median < kGoalMedian_usec && lost == 0;
  std::printf("goal: median below %.0f us: %s\n", kGoalMedian_usec, met ? "met" : "MISSED");
  return met ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = ParseCount(argc, argv);
  const ecub::TempFolder folder("bench-serial");
  if (folder.path().empty()) return 1;
  return Measure(folder.path(), count);
}
