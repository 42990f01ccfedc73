#include "src/retry_policy.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "src/exponential_backoff.h"

namespace tvx {
namespace {

TEST(RetryDecisionTest, TransportFailuresRetryEightTimesThenGiveUp) {
  ExponentialBackoff back_off(kBackoffInitialWaitTime, kBackoffMaxWaitTime);
  const auto transport = MakeCommonError(kHttpRequestFailure);
  int retries = 0;
  while (NextRetryDelay(transport, &back_off)) ++retries;
  EXPECT_EQ(retries, 8);
  EXPECT_EQ(back_off.try_count(), 8);
  // The total wait of one step stays below 510 s: 2+4+...+256 = 510.
}

TEST(RetryDecisionTest, OtherFailuresAreFinalAtOnce) {
  ExponentialBackoff back_off(kBackoffInitialWaitTime, kBackoffMaxWaitTime);
  EXPECT_FALSE(NextRetryDelay(MakeBillerError(kServiceProviderProtocolError), &back_off));
  EXPECT_FALSE(NextRetryDelay(MakeBillerError(kWrongServiceProviderAuthKey), &back_off));
  EXPECT_EQ(back_off.try_count(), 0);
  // Value 1 of any category counts as the transport failure.
  EXPECT_TRUE(NextRetryDelay(MakeCommonError(kHttpRequestFailure), &back_off));
}

}  // namespace
}  // namespace tvx
