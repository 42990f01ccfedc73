// The rules the store adapters share for their HTTP exchanges.
#include "src/store_http.h"

#include <gtest/gtest.h>

#include "src/google_play_adapter.h"
#include "src/one_store_adapter.h"
#include "src/p4_store_adapter.h"

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

TEST(StoreHttpTest, LoggedBodiesAreBoundedAndEscaped) {
  const std::string whole(kMaxLoggedBodyBytes, 'x');
  EXPECT_EQ(ForLog(whole), whole);
  EXPECT_EQ(ForLog(whole + "yz"), whole + "...(" + std::to_string(whole.size() + 2) + " bytes)");
  EXPECT_EQ(ForLog("\nE1207 forged"), "\\nE1207 forged");
}

TEST(StoreHttpTest, ClientTextsCannotReshapeAStoreAddress) {
  // Each row: a client's text and the segment it becomes (encoded: HttpFormTest).
  const std::pair<const char*, const char*> kRows[] = {
      {".", "%2E"}, {"..", "%2E%2E"}, {"...", "..."}, {"../x", "..%2Fx"}, {"", ""}};
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

}  // namespace
}  // namespace tvx
