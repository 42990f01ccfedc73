#include "framework/billing_store.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(BillingStoreTest, AuthKeysRoundTripWithHostileText) {
  const std::string nasty = "a\"b\\c&d=e+f\n{}";
  std::string a, b, c;
  ASSERT_TRUE(ParseGooglePlayAuthKey(MakeGooglePlayAuthKey(nasty, "mail@x"), &a, &b));
  EXPECT_EQ(std::tie(a, b), std::tuple(nasty, "mail@x"));
  const std::string oauth = MakeGooglePlayAuthKey("id", nasty, "refresh");
  ASSERT_TRUE(ParseGooglePlayAuthKey(oauth, &a, &b, &c));
  EXPECT_EQ(std::tie(a, b, c), std::tuple("refresh", "id", nasty));
  ASSERT_TRUE(ParseOneStoreAuthKey(MakeOneStoreAuthKey("os-id", nasty), &a, &b));
  EXPECT_EQ(std::tie(a, b), std::tuple("os-id", nasty));
  // An OAuth key is not a service account and the reverse; a key of another
  // store never parses as this one.
  EXPECT_FALSE(ParseGooglePlayAuthKey(oauth, &a, &b));
  EXPECT_FALSE(ParseGooglePlayAuthKey(MakeGooglePlayAuthKey("k", "m"), &a, &b, &c));
  EXPECT_FALSE(ParseOneStoreAuthKey(oauth, &a, &b));
  EXPECT_FALSE(ParseOneStoreAuthKey(R"({"service_provider":"OneStore","client_id":1,"client_secret":"s"})",
                                    &a, &b));
  EXPECT_FALSE(ParseOneStoreAuthKey("not json", &a, &b));
}

}  // namespace
}  // namespace tvx
