// How the Google Play adapter reads Google's answers and keys its cached
// tokens. Unreachable stores and 5xx answers: StoreHttpTest. A purchase's
// fields reach the row recorded: StoreFlowTest.
#include "src/google_play_adapter.h"

#include <future>
#include <set>

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "src/store_endpoints.h"
#include "tests/support/fake_store_server.h"

namespace tvx {
namespace {

using Rvr = GooglePlayAdapter::ReceiptValidationResponse;

Rvr Read(int status, const std::string& body, boost::system::error_code* ec) {
  Rvr out;
  *ec = GooglePlayAdapter::ReadReceiptValidationAnswer(http::TransportCode::kOk,
                                                       http::Response{status, body}, &out);
  return out;
}

TEST(GooglePlayAnswerTest, StatusAndBodyGiveTheErrorOrTheVerdict) {
  constexpr int32_t kBad = kServiceProviderProtocolError;
  // A purchase, consumed and acknowledged, whose `member` is `value` (removed when null).
  const auto with = [](const char* member, const Json& value) {
    Json purchase;
    purchase.FromString(R"({"acknowledgementState":1,"purchaseState":0,"consumptionState":0})");
    return testing::With(purchase, member, value).ToString();
  };
  // The status and body -> the error (0 or a code), verdict.
  const std::tuple<int, std::string, int32_t, int> kRows[] = {
      {404, "{}", 0, Rvr::kFailure}, {401, "not json", 0, Rvr::kTokenRejected},
      {200, with("purchaseType", Json(1)), 0, Rvr::kSuccess},
      {200, "not json", kBad, 0}, {200, "[1]", kBad, 0},
      {200, with("acknowledgementState", Json()), kBad, 0},
      {200, with("acknowledgementState", Json("1")), kBad, 0},
      {200, with("acknowledgementState", Json(2)), kBad, 0},
      {200, with("purchaseState", Json(3)), kBad, 0}, {200, with("purchaseType", Json(3)), kBad, 0},
      {200, with("consumptionState", Json(2)), kBad, 0},
      {200, with("consumptionState", Json()), kBad, 0},
  };
  for (const auto& [status, body, error, verdict] : kRows) {
    boost::system::error_code ec;
    const Rvr read = Read(status, body, &ec);
    EXPECT_EQ(ec, error ? MakeBillerError(error) : boost::system::error_code()) << body;
    // A failed read leaves the answer as it was made.
    EXPECT_EQ(error ? read.receipt.IsNull() : read.code == verdict, true) << body;
  }
  // The optional fields may be missing.
  boost::system::error_code ec;
  const Rvr read = Read(200, with("consumptionState", Json(1)), &ec);
  EXPECT_EQ(std::tie(ec, read.purchase_type, read.order_id, read.purchase_time_millis, read.kind,
                     read.not_consumed),
            std::tuple(boost::system::error_code(), -1, "", "", "", 0));
}

// Each set of credentials has a cache entry of its own: a token obtained with
// one never vouches for another naming the same account.
TEST(GooglePlayTokenTest, EveryCredentialOfAnAccountHasItsOwnCacheEntry) {
  const std::string id = "shared@game.iam.gserviceaccount.com";
  const std::set<AccessTokenKey> keys = {
      GooglePlayAdapter::TokenKey(GoogleServiceAccount{id, "key-1"}),
      GooglePlayAdapter::TokenKey(GoogleServiceAccount{id, "key-2"}),
      GooglePlayAdapter::TokenKey(GoogleOAuthClient{id, "key-1", ""}),
      GooglePlayAdapter::TokenKey(GoogleOAuthClient{id, "", "key-1"}),
      GooglePlayAdapter::TokenKey(GoogleOAuthClient{id, "key", "-1"})};
  EXPECT_EQ(keys.size(), 5u);
}

TEST(GooglePlayTokenTest, AKeyThatCannotSignIsRefusedWithoutAskingGoogle) {
  testing::FakeHttpServer server;
  testing::FakeGoogleStore google{&server};
  testing::TestIoContext io;
  std::string error;
  ASSERT_TRUE(SetStoreEndpoints(testing::MakeStoreEndpoints(&google, nullptr, nullptr), &error));
  GooglePlayAdapter::SetIoService(io.io());
  const GoogleServiceAccount broken{"broken@game.iam.gserviceaccount.com", "not a key"};
  auto answer = std::make_shared<std::promise<boost::system::error_code>>();
  GooglePlayAdapter::GetAccessToken(
      broken, [answer](const std::string&, const boost::system::error_code& ec) {
        answer->set_value(ec);
      });
  EXPECT_EQ(answer->get_future().get(), MakeBillerError(kWrongServiceProviderAuthKey));
  EXPECT_EQ(server.RequestCount(), 0);
  GooglePlayAdapter::Shutdown();
  SetStoreEndpoints(Json(), &error);
}

}  // namespace
}  // namespace tvx
