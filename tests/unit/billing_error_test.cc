#include "src/billing_error.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(BillingErrorTest, ResultCodeOfStoreFailures) {
  EXPECT_EQ(ToResultCode(MakeCommonError(kHttpRequestFailure)), 2003);
  EXPECT_EQ(ToResultCode(MakeBillerError(kServiceProviderProtocolError)), 2004);
  EXPECT_EQ(ToResultCode(MakeBillerError(kWrongServiceProviderAuthKey)), 6);
  // A code of another category is a communication failure, whatever its value.
  const boost::system::error_code other(2001, boost::system::generic_category());
  EXPECT_EQ(ToResultCode(other), 2003);
  EXPECT_FALSE(IsBillerError(other));
}

}  // namespace
}  // namespace tvx
