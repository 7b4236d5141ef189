// The microsecond clock and the bounded waits every protocol timing rests on.
#pragma once

#include <cstdint>

namespace ecub {

struct Server;

// Current time in microseconds from the platform's performance counter (0 without one).
double TimerApi_uSec(Server& s);
// Returns once at least `usec` microseconds have passed, letting window messages run.
void WaitMicroseconds(Server& s, double usec);
// Rounds to the nearest whole number, halves to the even neighbour.
int64_t RoundHalfEven(double value);
// Milliseconds since StartTime_usec, rounded half to even, as the log and answer stamps use.
int64_t ElapsedMs(Server& s);

}  // namespace ecub
