#include "src/exponential_backoff.h"

#include <gtest/gtest.h>


namespace tvx {
namespace {

TEST(ExponentialBackoffTest, BoundsDoubleUpToTheCeiling) {
  // Many draws per step so that a wrong bound shows up as an out-of-range
  // delay, not by luck.
  for (int round = 0; round < 200; ++round) {
    ExponentialBackoff back_off(kBackoffInitialWaitTime, kBackoffMaxWaitTime);
    int64_t bound = kBackoffInitialWaitTime;
    for (int draw = 1; draw <= 7; ++draw) {
      const int64_t t = back_off.NextWaitTime();
      ASSERT_GE(t, 0);
      ASSERT_LT(t, bound) << "draw " << draw;
      ASSERT_FALSE(back_off.max_wait_time_reached()) << "draw " << draw;
      bound *= 2;
    }
    ASSERT_LT(back_off.NextWaitTime(), kBackoffMaxWaitTime);
    ASSERT_TRUE(back_off.max_wait_time_reached());
    ASSERT_EQ(back_off.try_count(), 8);
    // Further draws stay at the ceiling, however many.
    for (int i = 0; i < 100; ++i) ASSERT_LT(back_off.NextWaitTime(), kBackoffMaxWaitTime);
    ASSERT_EQ(back_off.try_count(), 108);

    back_off.Reset();
    EXPECT_FALSE(back_off.max_wait_time_reached());
    EXPECT_LT(back_off.NextWaitTime(), kBackoffInitialWaitTime);
    EXPECT_EQ(back_off.try_count(), 1);
  }
}

TEST(ExponentialBackoffTest, DelaysAreSpreadNotConstant) {
  ExponentialBackoff back_off(1000000, 2000000);
  int64_t lowest = INT64_MAX, highest = 0;
  for (int i = 0; i < 1000; ++i) {
    back_off.Reset();
    const int64_t t = back_off.NextWaitTime();
    lowest = std::min(lowest, t);
    highest = std::max(highest, t);
  }
  EXPECT_LT(lowest, 100000);
  EXPECT_GT(highest, 900000);
}

}  // namespace
}  // namespace tvx
