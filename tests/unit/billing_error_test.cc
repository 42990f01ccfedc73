#include "src/billing_error.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(BillingErrorTest, DescribesBillerCodesWithTheCategoryName) {
  EXPECT_EQ(DescribeError(kDatabaseError), "Talvex-Biller: database error");
  EXPECT_EQ(DescribeError(kAlreadyAuthenticated), "Talvex-Biller: already authenticated");
  EXPECT_EQ(DescribeError(kWrongParameter), "Talvex-Biller: wrong parameter");
  // Two codes share one text.
  EXPECT_EQ(DescribeError(kWrongServiceProvider), DescribeError(kReceiptWrongServiceProvider));
}

TEST(BillingErrorTest, DescribesAnyErrorCode) {
  EXPECT_EQ(DescribeError(MakeCommonError(kHttpRequestFailure)),
            "Talvex-Biller common: http request failure");
  EXPECT_EQ(DescribeError(MakeBillerError(kServiceProviderProtocolError)),
            "Talvex-Biller: service provider protocol error");
}

TEST(BillingErrorTest, ResultCodeOfStoreFailures) {
  EXPECT_EQ(ToResultCode(MakeCommonError(kHttpRequestFailure)), 2003);
  EXPECT_EQ(ToResultCode(MakeBillerError(kServiceProviderProtocolError)), 2004);
  EXPECT_EQ(ToResultCode(MakeBillerError(kWrongServiceProviderAuthKey)), 6);
  EXPECT_EQ(ToResultCode(boost::system::error_code(2001, boost::system::generic_category())),
            2003);
}

TEST(BillingErrorTest, BillerIdentityIsByCategory) {
  const boost::system::error_code foreign(2001, boost::system::generic_category());
  EXPECT_FALSE(IsBillerError(foreign));
  EXPECT_FALSE(foreign == kDatabaseError);
  EXPECT_TRUE(MakeBillerError(kDatabaseError) == kDatabaseError);
  EXPECT_FALSE(MakeCommonError(1) == static_cast<BillerErrorCode>(1));
  EXPECT_TRUE(MakeBillerError(kSuccess).value() == 0 && !MakeBillerError(kSuccess));
}

}  // namespace
}  // namespace tvx
