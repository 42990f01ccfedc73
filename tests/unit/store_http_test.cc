// The rules the store adapters share for their HTTP exchanges: the store
// addresses they use and the waits before they ask again.
#include "src/store_http.h"

#include <gtest/gtest.h>

#include "src/exponential_backoff.h"
#include "src/google_play_adapter.h"
#include "src/one_store_adapter.h"
#include "src/p4_store_adapter.h"
#include "src/store_endpoints.h"

namespace tvx {
namespace {

using http::TransportCode;

// Every adapter asks again exactly when this says so; the adapters' own
// tests start at the answers that got through.
TEST(StoreHttpTest, OnlyUnreachableOrFailingStoresAreAskedAgain) {
  using Q = QueryStatus;
  const std::tuple<TransportCode, int, bool, QueryStatus> kRows[] = {  // transport, status -> retry, query
      {TransportCode::kCouldNotConnect, 0, true, Q::kUnreachable},
      {TransportCode::kTimedOut, 200, true, Q::kUnreachable},
      {TransportCode::kOk, 500, true, Q::kUnreachable},    {TransportCode::kOk, 599, true, Q::kUnreachable},
      {TransportCode::kOk, 200, false, Q::kAnswered},      {TransportCode::kOk, 401, false, Q::kTokenRejected},
      {TransportCode::kOk, 404, false, Q::kRefused},       {TransportCode::kOk, 499, false, Q::kRefused},
      {TransportCode::kOk, 600, false, Q::kRefused},       {TransportCode::kOk, 0, false, Q::kRefused},
  };
  for (const auto& [transport, status, retry, query] : kRows) {
    EXPECT_EQ(std::tuple(IsRetryable(transport, status),
                         ReadQueryStatus("[T] ", "T", transport, http::Response{status, "{}"}, "{}")),
              std::tuple(retry, query)) << static_cast<int>(transport) << " " << status;
  }
}

TEST(StoreHttpTest, LoggedBodiesAreBounded) {
  const std::string whole(kMaxLoggedBodyBytes, 'x');
  EXPECT_EQ(ForLog(whole), whole);
  EXPECT_EQ(ForLog(whole + "yz"), whole + "...(" + std::to_string(whole.size() + 2) + " bytes)");
  EXPECT_EQ(ForLog(""), "");
}

TEST(StoreHttpTest, ClientTextsCannotReshapeAStoreAddress) {
  // Each row: a client's text and the segment it becomes.
  const std::pair<const char*, const char*> kRows[] = {
      {".", "%2E"},     {"..", "%2E%2E"},     {"...", "..."},     {"../x", "..%2Fx"},
      {"a/b", "a%2Fb"}, {"a?b&c", "a%3Fb%26c"}, {"t+k", "t%2Bk"}, {"", ""},
  };
  for (const auto& [text, segment] : kRows) EXPECT_EQ(UrlPathSegment(text), segment) << text;

  // Every store address is built of such segments.
  EXPECT_EQ(GooglePlayAdapter::PurchaseUrl("http://api", "..", ".", "a?b", "t+k"),
            "http://api/androidpublisher/v3/applications/%2E%2E/purchases/products/%2E/tokens/"
            "a%3Fb?access_token=t%2Bk");
  EXPECT_EQ(OneStoreAdapter::PurchaseUrl("http://os", "..", "com.game", "."),
            "http://os/v2/purchase/details-by-productid/%2E%2E/com.game/%2E");
  EXPECT_EQ(MakeP4EntitlementUrl("http://ent", "..", -7),
            "http://ent/v1/users/me/entitlements/%2E%2E?service_label=-7");
}

Json Overrides(const std::string& text) {
  Json json;
  EXPECT_TRUE(json.FromString(text)) << text;
  return json;
}

TEST(StoreEndpointsTest, MembersGivenOverrideTheirDefaultAndDoubtfulValuesChangeNothing) {
  std::string error;
  // Every member the store flows give is applied: StoreFlowTest.
  ASSERT_TRUE(SetStoreEndpoints(Overrides(R"({"google_oauth_token_url":"http://127.0.0.1:9/t"})"),
                                &error)) << error;
  EXPECT_EQ(GetStoreEndpoints()->google_jwt_token_url,
            StoreEndpoints::Defaults().google_jwt_token_url);

  const std::pair<const char*, const char*> kRefused[] = {
      {R"(["http://x"])", "object"}, {R"("http://x")", "object"},
      {R"({"google_api_url":"http://x"})", "unknown member \"google_api_url\""},
      {R"({"google_api_base":5})", "\"google_api_base\" must be a string"},
      {R"({"google_api_base":"127.0.0.1:80"})", "http:// or https://"},
      {R"({"google_api_base":"https://"})", "no host"},
      {R"({"google_api_base":"http://x/"})", "must not end with '/'"},
      {R"({"apple_sandbox_url":"http://x/a b"})", "spaces"},
      {R"({"p4_dev_base_url_service":"http://x/asm/v1/apps/me"})", "/baseUrls/"},
  };
  for (const auto& [text, why] : kRefused) {
    error.clear();
    EXPECT_FALSE(SetStoreEndpoints(Overrides(text), &error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
  }
  EXPECT_EQ(GetStoreEndpoints()->google_oauth_token_url, "http://127.0.0.1:9/t");
  SetStoreEndpoints(Json(), &error);
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
    EXPECT_EQ(std::tuple(t < kBackoffInitialWaitTime, back_off.try_count(), back_off.max_wait_time_reached()),
              std::tuple(true, 1, false));
    lowest = std::min(lowest, t);
    highest = std::max(highest, t);
  }
  EXPECT_LT(lowest, kBackoffInitialWaitTime / 10);
  EXPECT_GT(highest, kBackoffInitialWaitTime * 9 / 10);
}

}  // namespace
}  // namespace tvx
