#include "server/clock.h"

#include <cmath>

#include "server/server.h"

namespace ecub {

namespace {

// Clock readings are held with four decimals, as the waits compare them.
double RoundTo4Decimals(double value) {
  return std::nearbyint(value * 10000.0) / 10000.0;
}

// How long before the deadline a precise sleep hands over to spinning: enough to absorb the
// wake-up latency of a loaded machine without spinning for most of a short wait.
constexpr double kSpinMargin_usec = 80;

}  // namespace

int64_t RoundHalfEven(double value) {
  return static_cast<int64_t>(std::nearbyint(value));
}

double TimerApi_uSec(Server& s) {
  Platform& p = s.platform;
  if (!s.clock_on_tick_count) {
    if (s.counter_frequency == 0) {
      int64_t frequency = 0;
      if (p.QueryPerformanceFrequency(frequency) && frequency > 0) s.counter_frequency = frequency;
    }
    int64_t counter = 0;
    if (s.counter_frequency != 0 && p.QueryPerformanceCounter(counter)) {
      // Whole seconds and the remainder separately, so large counters keep their precision.
      const int64_t seconds = counter / s.counter_frequency;
      const int64_t rest = counter % s.counter_frequency;
      s.last_counter_usec =
          static_cast<double>(seconds) * 1e6 +
          static_cast<double>(rest) * 1e6 / static_cast<double>(s.counter_frequency);
      return s.last_counter_usec;
    }
    // A clock that stands still would make every wait and time-out endless. The tick count is
    // coarse but always moves; it takes over for good, so readings stay on one clock.
    s.clock_on_tick_count = true;
    s.tick_count_offset_usec = s.last_counter_usec - static_cast<double>(p.TickCountMs()) * 1000.0;
  }
  return static_cast<double>(p.TickCountMs()) * 1000.0 + s.tick_count_offset_usec;
}

void WaitMicroseconds(Server& s, double usec) {
  const double start = RoundTo4Decimals(TimerApi_uSec(s));
  const double end = RoundTo4Decimals(start + usec);
  Platform& p = s.platform;
  if (p.HasPreciseSleep()) {
    // Sleep for most of the wait and spin only the last stretch.
    const double sleep_for = end - TimerApi_uSec(s) - kSpinMargin_usec;
    if (sleep_for > 0) {
      p.PumpMessages();
      p.SleepMicroseconds(sleep_for);
    }
  } else if (usec > 2000) {
    // Coarse 2 ms steps for a platform whose sleeps are only millisecond-precise.
    int64_t n = RoundHalfEven(usec / 1000.0);
    if (n < 2) n = 2;
    do {
      p.PumpMessages();
      p.Sleep(2);
      n -= 2;
    } while (n >= 2);
  }
  do {
    p.PumpMessages();
  } while (!(TimerApi_uSec(s) > end));
}

int64_t ElapsedMs(Server& s) {
  return RoundHalfEven((TimerApi_uSec(s) - s.StartTime_usec) / 1000.0);
}

}  // namespace ecub
