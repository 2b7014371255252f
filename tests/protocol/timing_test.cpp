#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "protocol/bandwidth_calc.h"
#include "protocol/time_tools.h"

namespace qv {
namespace {

constexpr int64_t kMs = 1000000;  // ns

TEST(StopwatchTest, InWindowRules) {
  TManualClock clock(1000 * kMs);
  auto sw = NewStopwatch(&clock);
  clock.AdvanceMs(100);
  EXPECT_FALSE(sw->InWindow(100, 200, false));  // x == low is not past low
  clock.AdvanceMs(0.3);
  EXPECT_TRUE(sw->InWindow(100, 200, false));  // 100.3 > 100: the fraction counts
  clock.AdvanceMs(99.7);
  EXPECT_TRUE(sw->InWindow(100, 200, true));  // x == high is inside
  clock.AdvanceMs(0.5);
  EXPECT_TRUE(sw->InWindow(100, 200, false));  // outside, no restart: true
  EXPECT_FALSE(sw->InWindow(100, 200, true));  // outside, restart: false
  EXPECT_EQ(sw->Elapsed(1000, false), 0);
  EXPECT_EQ(sw->TimestampNs(), clock.NowNs());
}

TEST(StopwatchTest, ElapsedRoundsAndHandlesOutOfRange) {
  TManualClock clock(5000 * kMs);
  auto sw = NewStopwatch(&clock);
  clock.AdvanceMs(10.4);
  EXPECT_EQ(sw->Elapsed(100, false), 10);
  clock.AdvanceMs(0.2);
  EXPECT_EQ(sw->Elapsed(100, false), 11);
  clock.AdvanceMs(89.4);
  EXPECT_EQ(sw->Elapsed(100, false), 100);  // ceiling itself is in range
  clock.AdvanceMs(0.2);
  EXPECT_EQ(sw->Elapsed(100, false), -1);  // 100.2 is beyond: no rounding down into range
  EXPECT_EQ(sw->Elapsed(100, true), 0);    // restarted
  clock.AdvanceMs(3);
  EXPECT_EQ(sw->Elapsed(100, false), 3);

  clock.SetNs(0);  // a clock behind the timestamp is out of range too
  EXPECT_EQ(sw->Elapsed(100, false), -1);
  EXPECT_TRUE(sw->InWindow(0, 100, false));
}

TEST(StopwatchTest, ElapsedUntilUsesOtherReading) {
  TManualClock clock(0);
  auto start = NewStopwatch(&clock);
  clock.AdvanceMs(40.6);
  auto now = NewStopwatch(&clock);
  clock.AdvanceMs(500);  // later clock movement does not matter
  EXPECT_EQ(start->ElapsedUntil(100, *now), 41);
  EXPECT_EQ(start->ElapsedUntil(40, *now), 0);  // out of range: start restarts to the clock
  EXPECT_EQ(start->TimestampNs(), clock.NowNs());
  EXPECT_EQ(start->ElapsedUntil(1000, *now), 0);  // now is older than start: restart, 0

  start->Assign(*now);
  EXPECT_EQ(start->TimestampNs(), now->TimestampNs());
  EXPECT_EQ(start->ElapsedUntil(1000, *now), 0);
  now->Restart();
  EXPECT_EQ(start->ElapsedUntil(1000, *now), 500);
}

TEST(StopwatchTest, DefaultClockIsMonotonic) {
  auto sw = NewStopwatch();
  EXPECT_GE(sw->Elapsed(60000, false), 0);
  EXPECT_LE(sw->TimestampNs(), DefaultClock().NowNs());
}

class BandWidthTest : public ::testing::Test {
 protected:
  TManualClock clock_{123 * kMs};
  // Advances the clock and returns a "now" stopwatch for that instant.
  std::unique_ptr<TPerformanceTime> At(double ms) {
    clock_.SetNs(123 * kMs + std::llround(ms * kMs));
    return NewStopwatch(&clock_);
  }
};

TEST_F(BandWidthTest, AllowanceIsAQuarterOfTheLimitPlusOne) {
  TBandWidthCalc meter(true, &clock_);
  EXPECT_EQ(meter.Allowance(), 1);
  meter.SetLimit(1000);
  EXPECT_EQ(meter.Allowance(), 251);
  meter.SetLimit(1002);  // 250.5 rounds up
  EXPECT_EQ(meter.Allowance(), 252);
  meter.SetLimit(-5);
  EXPECT_EQ(meter.Limit(), 0);
}

TEST_F(BandWidthTest, ExcessIsPaidBackInLaterSlots) {
  TClientBandWidthCalc meter(&clock_);
  meter.SetLimit(1000);
  meter.Add(250, At(10).get());
  EXPECT_EQ(meter.TimeUntilAllowed(At(20).get()), 0);  // 250 < 251
  meter.Add(350, At(20).get());
  EXPECT_EQ(meter.TimeUntilAllowed(At(20).get()), 230);  // rest of the slot
  EXPECT_EQ(meter.TimeUntilAllowed(At(249).get()), 1);
  EXPECT_EQ(meter.TimeUntilAllowed(At(250).get()), 250);  // 349 excess blocks the next slot
  EXPECT_EQ(meter.TimeUntilAllowed(At(499.4).get()), 1);
  EXPECT_EQ(meter.TimeUntilAllowed(At(500).get()), 0);  // 98 excess
  meter.Add(153, At(600).get());                        // 98 + 153 = 251: blocked again
  EXPECT_EQ(meter.TimeUntilAllowed(At(600).get()), 150);
}

TEST_F(BandWidthTest, ReadsItsOwnClockWithoutNow) {
  TClientBandWidthCalc meter(&clock_);
  meter.SetLimit(1000);
  meter.Add(600);
  clock_.AdvanceMs(100);
  EXPECT_EQ(meter.TimeUntilAllowed(), 150);
  clock_.AdvanceMs(300);  // 400 ms: in the second slot, 349 excess
  EXPECT_EQ(meter.TimeUntilAllowed(), 100);
  clock_.AdvanceMs(100);
  EXPECT_EQ(meter.TimeUntilAllowed(), 0);
}

TEST_F(BandWidthTest, ShortRateBeforeAndAfterRingFills) {
  TBandWidthCalc meter(false, &clock_);
  EXPECT_EQ(meter.Rates(At(0).get()).PerSecond, 0);  // index 0
  meter.Add(600, At(50).get());
  meter.Add(400, At(200).get());
  EXPECT_EQ(meter.Rates(At(249).get()).PerSecond, 0);  // the slot has not closed
  EXPECT_FLOAT_EQ(meter.Rates(At(250).get()).PerSecond, 4000);
  EXPECT_FLOAT_EQ(meter.Rates(At(750).get()).PerSecond, 4000.0f / 3);
  EXPECT_FLOAT_EQ(meter.Rates(At(1000).get()).PerSecond, 1000);  // full, sum 1000
  EXPECT_FLOAT_EQ(meter.Rates(At(1250).get()).PerSecond, 0);     // the busy slot dropped out
}

TEST_F(BandWidthTest, LongRateBeforeAndAfterRingFills) {
  TBandWidthCalc meter(true, &clock_);
  meter.Add(6000, At(10).get());
  EXPECT_FLOAT_EQ(meter.Rates(At(250).get()).PerMinute, 6000.0f / 60 * 240);
  EXPECT_FLOAT_EQ(meter.Rates(At(30000).get()).PerMinute, 6000.0f / 60 * 240 / 120);
  EXPECT_FLOAT_EQ(meter.Rates(At(60000).get()).PerMinute, 100);  // full: 6000 bytes in a minute
  meter.Add(1200, At(60100).get());
  EXPECT_FLOAT_EQ(meter.Rates(At(60250).get()).PerMinute, 20);  // the first slot replaced
  EXPECT_FLOAT_EQ(meter.Rates(At(60250).get()).PerSecond, 1200);
}

TEST_F(BandWidthTest, ClockUntouchedForTwoHoursCountsAsNoTime) {
  TClientBandWidthCalc meter(&clock_);
  meter.SetLimit(1000);
  meter.Add(600, At(10).get());
  EXPECT_EQ(meter.TimeUntilAllowed(At(7200000 + 10 + 1).get()), 250);  // restarted, still blocked
  EXPECT_EQ(meter.Rates(At(7200000 + 10 + 1).get()).PerSecond, 0);     // no slot closed
  EXPECT_EQ(meter.TimeUntilAllowed(At(7200000 + 261).get()), 250);     // one slot: 349 excess
  EXPECT_EQ(meter.TimeUntilAllowed(At(7200000 + 511).get()), 0);
  EXPECT_FLOAT_EQ(meter.Rates(At(7200000 + 511).get()).PerSecond, 1200);  // 600 over 2 slots

  TClientBandWidthCalc own(&clock_);  // the same without a "now" stopwatch
  own.SetLimit(1000);
  own.Add(600);
  clock_.AdvanceMs(7200001);
  EXPECT_EQ(own.TimeUntilAllowed(), 250);
}

TEST_F(BandWidthTest, CommandSlotNeedsTwoBoundaries) {
  TClientBandWidthCalc client(&clock_);
  TBandWidthCalc plain(false, &clock_);
  EXPECT_TRUE(client.CommandSlotFree());
  EXPECT_TRUE(plain.CommandSlotFree());  // no limit
  client.SetLimit(1000);
  plain.SetLimit(1000);
  EXPECT_TRUE(client.CommandSlotFree());  // a connection may send its first command at once
  EXPECT_FALSE(plain.CommandSlotFree());

  client.AddCommand(10, At(300).get());  // one boundary passed before the command: not counted
  EXPECT_FALSE(client.CommandSlotFree());
  client.Add(10, At(500).get());
  EXPECT_FALSE(client.CommandSlotFree());
  client.Add(10, At(750).get());
  EXPECT_TRUE(client.CommandSlotFree());
}

TEST_F(BandWidthTest, NoLimitNeverBlocks) {
  TBandWidthCalc meter(true, &clock_);
  meter.AddCommand(1000000, At(1).get());
  EXPECT_EQ(meter.TimeUntilAllowed(At(2).get()), 0);
  EXPECT_TRUE(meter.CommandSlotFree());
  meter.Add(1000000, At(300).get());
  EXPECT_EQ(meter.TimeUntilAllowed(At(300).get()), 0);
  At(550);
  meter.SetLimit(1000);  // closes the busy slot first: unlimited slots carry no excess
  EXPECT_EQ(meter.TimeUntilAllowed(At(560).get()), 0);
}

}  // namespace
}  // namespace qv
