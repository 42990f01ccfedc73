#include "src/billing_error.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(BillingErrorTest, ResultCodeOfStoreFailures) {
  EXPECT_EQ(ToResultCode(MakeCommonError(kHttpRequestFailure)), 2003);
  EXPECT_EQ(ToResultCode(MakeBillerError(kServiceProviderProtocolError)), 2004);
  EXPECT_EQ(ToResultCode(MakeBillerError(kWrongServiceProviderAuthKey)), 6);
  // A code of another category is a communication failure, whatever its value.
  EXPECT_EQ(ToResultCode(boost::system::error_code(2001, boost::system::generic_category())), 2003);
  EXPECT_FALSE(IsBillerError(boost::system::error_code(2001, boost::system::generic_category())));
}

}  // namespace
}  // namespace tvx
