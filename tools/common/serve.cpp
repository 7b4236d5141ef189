#include "common/serve.h"

#include <signal.h>

#include <algorithm>

#include "platform/posix/posix_platform.h"
#include "sim/posix/pty_link.h"

namespace ecub::tools {

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) {
  g_stop = 1;
}

}  // namespace

void StopOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void ServeUntilStopped(PtyLink& pty, double seconds, double origin_usec) {
  constexpr double kPassMs = 100;  // how late a signal or the end of the time is seen
  while (g_stop == 0) {
    double pass_ms = kPassMs;
    if (seconds > 0) {
      const double left_ms = seconds * 1000 - (MonotonicUsec() - origin_usec) / 1000;
      if (left_ms <= 0) break;
      pass_ms = std::min(pass_ms, left_ms);
    }
    pty.RunFor(pass_ms);
  }
}

}  // namespace ecub::tools
