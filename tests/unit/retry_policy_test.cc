#include "src/retry_policy.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "src/exponential_backoff.h"
#include "src/p4_store_adapter.h"

namespace tvx {
namespace {

// Only a store that could not be reached is asked again: a failure of any
// other kind, even one whose number is the transport failure's, is final.
TEST(RetryDecisionTest, TransportFailuresRetryEightTimesOtherFailuresNever) {
  ExponentialBackoff back_off(kBackoffInitialWaitTime, kBackoffMaxWaitTime);
  const boost::system::error_code kFinal[] = {
      MakeBillerError(kServiceProviderProtocolError), MakeBillerError(kWrongServiceProviderAuthKey),
      {kHttpRequestFailure, GetP4RequestErrorCategory()},
      {EPERM, boost::system::system_category()}};
  for (const auto& error : kFinal) EXPECT_FALSE(NextRetryDelay(error, &back_off)) << error;
  EXPECT_EQ(back_off.try_count(), 0);
  int retries = 0;
  while (NextRetryDelay(MakeCommonError(kHttpRequestFailure), &back_off)) ++retries;
  // 2+4+...+256 = 510 s of waits at most.
  EXPECT_EQ(std::tuple(retries, back_off.try_count()), std::tuple(8, 8));
}

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
