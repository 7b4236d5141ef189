#include <gtest/gtest.h>

#include "server/clock.h"
#include "server/server.h"
#include "sim/fake_platform.h"

namespace ecub {
namespace {

class Waits : public ::testing::Test {
 protected:
  Waits() : s(p, "/app") {}
  // Waits and returns how long the wait took on the virtual clock.
  double TimedWait(double usec) {
    const double before = TimerApi_uSec(s);
    WaitMicroseconds(s, usec);
    return TimerApi_uSec(s) - before;
  }
  FakePlatform p;
  Server s;
};

TEST_F(Waits, CoarseSleepsInTwoMillisecondSteps) {
  p.precise_sleep = false;
  // The wait, and the 2 ms sleeps it takes.
  for (const auto& [usec, sleeps] :
       {std::pair(500.0, 0u), std::pair(2000.0, 0u), std::pair(2500.0, 1u), std::pair(5000.0, 2u),
        std::pair(100000.0, 50u), std::pair(2001.0, 1u)}) {
    p.sleeps_ms.clear();
    const double took = TimedWait(usec);
    EXPECT_EQ(p.sleeps_ms.size(), sleeps) << usec;
    for (uint32_t ms : p.sleeps_ms) EXPECT_EQ(ms, 2u);
    EXPECT_GT(took, usec) << usec;
  }
}

// A precise sleep covers most of the wait, which ends just past its time; a wait of zero or
// less sleeps not at all and returns once the clock moves.
TEST_F(Waits, PreciseSleepCoversMostOfTheWaitAndEndsJustPastIt) {
  for (double usec : {500.0, 5000.0, 4040000.0, 0.0, -5.0}) {
    p.precise_sleeps_usec.clear();
    const double took = TimedWait(usec);
    ASSERT_EQ(p.precise_sleeps_usec.size(), usec > 0 ? 1u : 0u) << usec;
    if (usec > 0) {
      EXPECT_GT(p.precise_sleeps_usec[0], usec - 150) << usec;
    }
    EXPECT_GT(took, usec);
    EXPECT_LT(took, usec > 0 ? usec + 20 : 10);  // each spin step reads the clock: 1 us
  }
  EXPECT_TRUE(p.sleeps_ms.empty());
}

TEST_F(Waits, ClockIsInMicrosecondsAndRoundsHalfToEven) {
  p.read_step_ns = 0;
  const double a = TimerApi_uSec(s);
  p.Advance(1234.5);
  EXPECT_DOUBLE_EQ(TimerApi_uSec(s) - a, 1234.5);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
  EXPECT_EQ(RoundHalfEven(-2.5), -2);
}

// Without a readable performance counter, from the start or from some point on, the clock runs
// on the tick count: it goes on from its last reading without a jump and moves on with time,
// so waits and time-outs end.
TEST_F(Waits, WithoutACounterTheClockRunsOnTheTickCount) {
  for (const bool from_start : {true, false}) {
    FakePlatform q;
    q.read_step_ns = 0;
    Server t(q, "/app");
    double last = 0;
    if (!from_start) last = TimerApi_uSec(t);
    q.has_counter = false;
    q.Advance(5000);
    const double first = TimerApi_uSec(t);
    EXPECT_NEAR(first, last, 1000) << from_start;
    q.Advance(250000);
    ASSERT_NEAR(TimerApi_uSec(t) - first, 250000, 1000) << from_start;
    q.read_step_ns = 1000;
    const double before = TimerApi_uSec(t);
    WaitMicroseconds(t, 100000);
    EXPECT_GE(TimerApi_uSec(t) - before, 100000) << from_start;
  }
}

}  // namespace
}  // namespace ecub
