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

}  // namespace
}  // namespace tvx
