#include "src/voided_purchases_poller.h"

#include <gtest/gtest.h>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

TEST(VoidedPurchasesPageTest, ReadsEntriesAndRefusesWhatIsNotTheList) {
  VoidedPurchasesPage page;
  ASSERT_TRUE(ReadVoidedPurchasesPage(
      R"({"voidedPurchases": [)"
      R"({"purchaseToken": "a", "voidedTimeMillis": "1700000000002", "voidedReason": 1},)"
      R"({"purchaseToken": "b", "voidedTimeMillis": "1700000000001", "voidedReason": 42}],)"
      R"( "tokenPagination": {"nextPageToken": "next"}})",
      &page));
  ASSERT_EQ(page.revocations.size(), 2u);
  EXPECT_EQ(std::tie(page.revocations[0].purchase_id, page.revocations[0].reason,
                     page.revocations[1].reason, page.latest_voided_ms, page.next_page_token),
            std::tuple("a", "remorse", "42", 1700000000002, "next"));

  ASSERT_TRUE(ReadVoidedPurchasesPage("{}", &page));  // nothing voided
  EXPECT_EQ(std::tuple(page.revocations.size(), page.next_page_token), std::tuple(0u, ""));

  for (const char* body :
       {"[]", R"({"voidedPurchases": {}})", R"({"voidedPurchases": [{"voidedTimeMillis": "1"}]})",
        R"({"voidedPurchases": [{"purchaseToken": "", "voidedTimeMillis": "1"}]})",
        R"({"voidedPurchases": [{"purchaseToken": "a", "voidedTimeMillis": "1x"}]})",
        R"({"voidedPurchases": [{"purchaseToken": "a", "voidedTimeMillis": 1}]})"}) {
    EXPECT_FALSE(ReadVoidedPurchasesPage(body, &page)) << body;
  }
}

TEST(VoidedPurchasesPollTest, StartsAtTheMarkButNeverMoreThanThirtyDaysBack) {
  const int64_t now = 1'800'000'000'000, oldest = now - kVoidedLookBackMs;
  EXPECT_EQ(std::tuple(VoidedPurchasesStartTime(0, now), VoidedPurchasesStartTime(oldest - 1, now),
                       VoidedPurchasesStartTime(now - 5, now)),
            std::tuple(oldest, oldest, now - 5));
  // A package or a token cannot change the address or add parameters.
  EXPECT_EQ(VoidedPurchasesUrl("http://h", "../x", 7, "a&b=c"),
            "http://h/androidpublisher/v3/applications/..%2Fx/purchases/voidedpurchases"
            "?startTime=7&maxResults=1000&token=a%26b%3Dc");
}

TEST(VoidedPurchasesConfigTest, RefusesEachWrongMember) {
  const Json account = JsonObject(
      {{"service_provider", "GooglePlay"}, {"private_key", "k"}, {"client_email", "e"}});
  const Json good = JsonObject(
      {{"package_names", JsonArray({Json("p"), Json("p")})}, {"service_account", account}});
  std::string error;
  EXPECT_TRUE(SetVoidedPurchasesConfig(good, &error)) << error;
  // The member and a wrong value; the error names the member.
  const std::pair<const char*, Json> kRows[] = {
      {"package_names", Json::Array()},
      {"package_names", JsonArray({Json("")})},
      {"service_account", JsonObject({{"client_email", "e"}})},
      {"poll_interval_s", Json(0)},
      {"poll_interval_s", Json("5")},
  };
  for (const auto& [member, value] : kRows) {
    EXPECT_FALSE(SetVoidedPurchasesConfig(With(good, member, value), &error)) << member;
    EXPECT_NE(error.find(std::string("\"") + member + "\""), std::string::npos) << error;
  }
  EXPECT_FALSE(SetVoidedPurchasesConfig(Json::Array(), &error));
  EXPECT_NE(error.find("google_play_voided_purchases"), std::string::npos) << error;
  EXPECT_TRUE(SetVoidedPurchasesConfig(Json(), &error));
}

}  // namespace
}  // namespace tvx::testing
