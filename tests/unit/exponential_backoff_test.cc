#include "src/exponential_backoff.h"

#include <algorithm>
#include <tuple>

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(ExponentialBackoffTest, BoundsDoubleUpToTheCeilingAndDelaysAreSpread) {
  // Many draws per step so that a wrong bound shows up as an out-of-range
  // delay, not by luck.
  int64_t lowest = INT64_MAX, highest = 0;
  for (int round = 0; round < 200; ++round) {
    ExponentialBackoff back_off(kBackoffInitialWaitTime, kBackoffMaxWaitTime);
    for (int64_t draw = 1, bound = kBackoffInitialWaitTime; draw <= 7; ++draw, bound *= 2) {
      const int64_t t = back_off.NextWaitTime();
      ASSERT_TRUE(t >= 0 && t < bound) << "draw " << draw << ": " << t;
      ASSERT_FALSE(back_off.max_wait_time_reached()) << "draw " << draw;
    }
    // Further draws stay at the ceiling, however many.
    for (int i = 0; i < 100; ++i) ASSERT_LT(back_off.NextWaitTime(), kBackoffMaxWaitTime);
    ASSERT_TRUE(back_off.max_wait_time_reached());
    ASSERT_EQ(back_off.try_count(), 107);
    back_off.Reset();
    const int64_t t = back_off.NextWaitTime();
    EXPECT_EQ(std::tuple(t < kBackoffInitialWaitTime, back_off.try_count(),
                         back_off.max_wait_time_reached()),
              std::tuple(true, 1, false));
    lowest = std::min(lowest, t);
    highest = std::max(highest, t);
  }
  EXPECT_LT(lowest, kBackoffInitialWaitTime / 10);
  EXPECT_GT(highest, kBackoffInitialWaitTime * 9 / 10);
}

}  // namespace
}  // namespace tvx
