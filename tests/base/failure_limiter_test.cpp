#include <gtest/gtest.h>

#include <string>

#include "base/failure_limiter.h"

namespace qv {
namespace {

// The limiter on a hand-moved clock: each row is a sequence of steps, each
// step moves the clock, counts failures and then checks the verdict.
TEST(FailureLimiterTest, LocksAfterTheLimitWithinTheWindowAndUnlocksLater) {
  struct Step {
    int64_t advanceMs;
    int failures;
    bool lockedAfter;  // whether this step's failures report the lock
    bool refused;
  };
  struct Row {
    const char* what;
    TFailureLimits limits;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {"ten in a minute lock for ten minutes",
       {10, 60, 600},
       {{0, 9, false, false}, {59000, 1, true, true}, {599000, 0, false, true}, {1001, 0, false, false}}},
      {"failures spread over more than the window never lock",
       {10, 60, 600},
       {{0, 9, false, false}, {60001, 9, false, false}, {60001, 9, false, false}}},
      {"a locked address reports its lock once",
       {3, 60, 600},
       {{0, 3, true, true}, {1000, 5, false, true}}},
      {"limit 0 turns the limiter off", {0, 60, 600}, {{0, 100, false, false}}},
  };
  for (const Row& row : rows) {
    int64_t now = 1'000'000;
    TFailureLimiter limiter([&now] { return now; });
    for (const Step& step : row.steps) {
      now += step.advanceMs;
      bool locked = false;
      for (int i = 0; i < step.failures; ++i) locked = limiter.CountFailure("192.0.2.1", row.limits) || locked;
      EXPECT_EQ(locked, step.lockedAfter) << row.what;
      EXPECT_EQ(limiter.Refused("192.0.2.1", row.limits), step.refused) << row.what;
      EXPECT_FALSE(limiter.Refused("192.0.2.2", row.limits)) << row.what;  // others are not affected
    }
  }
}

}  // namespace
}  // namespace qv
