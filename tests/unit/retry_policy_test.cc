#include "src/retry_policy.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "src/exponential_backoff.h"

namespace tvx {
namespace {

TEST(RetryDecisionTest, TransportFailuresRetryEightTimesOtherFailuresNever) {
  ExponentialBackoff back_off(kBackoffInitialWaitTime, kBackoffMaxWaitTime);
  EXPECT_FALSE(NextRetryDelay(MakeBillerError(kServiceProviderProtocolError), &back_off) ||
               NextRetryDelay(MakeBillerError(kWrongServiceProviderAuthKey), &back_off));
  EXPECT_EQ(back_off.try_count(), 0);
  int retries = 0;
  while (NextRetryDelay(MakeCommonError(kHttpRequestFailure), &back_off)) ++retries;
  // 2+4+...+256 = 510 s of waits at most.
  EXPECT_EQ(std::tuple(retries, back_off.try_count()), std::tuple(8, 8));
}

}  // namespace
}  // namespace tvx
