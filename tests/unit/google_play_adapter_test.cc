// How the Google Play adapter reads Google's answer to a purchase query, and
// renews a service account's token with a JWT of its own.
#include "src/google_play_adapter.h"

#include <future>

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "src/store_endpoints.h"
#include "tests/support/fake_deadline_timer.h"
#include "tests/support/fake_store_server.h"

namespace tvx {
namespace {

using Rvr = GooglePlayAdapter::ReceiptValidationResponse;

constexpr int kNoAnswer = -1;  // the status of a request that never got through

struct Row {
  int status;
  const char* body;
  int32_t error;  // 0, kHttpRequestFailure (retried) or a biller code
  int verdict;
};

const Row kRows[] = {
    {kNoAnswer, "", kHttpRequestFailure, Rvr::kSuccess},
    {500, "", kHttpRequestFailure, Rvr::kSuccess},
    {503, "busy", kHttpRequestFailure, Rvr::kSuccess},
    {404, "{}", 0, Rvr::kFailure},
    {401, "not json", 0, Rvr::kTokenRejected},
    {200, R"({"acknowledgementState":1,"purchaseState":0,"consumptionState":0})", 0,
     Rvr::kSuccess},
    {200, R"({"acknowledgementState":1,"purchaseState":2,"consumptionState":1})", 0,
     Rvr::kSuccess},
    {200, "not json", kServiceProviderProtocolError, Rvr::kSuccess},
    {200, "[1]", kServiceProviderProtocolError, Rvr::kSuccess},
    {200, R"({"purchaseState":0,"consumptionState":0})", kServiceProviderProtocolError,
     Rvr::kSuccess},
    {200, R"({"acknowledgementState":"1","purchaseState":0,"consumptionState":0})",
     kServiceProviderProtocolError, Rvr::kSuccess},
    {200, R"({"acknowledgementState":2,"purchaseState":0,"consumptionState":0})",
     kServiceProviderProtocolError, Rvr::kSuccess},
    {200, R"({"acknowledgementState":1,"purchaseState":3,"consumptionState":0})",
     kServiceProviderProtocolError, Rvr::kSuccess},
    {200, R"({"acknowledgementState":1,"purchaseState":0,"consumptionState":2})",
     kServiceProviderProtocolError, Rvr::kSuccess},
    {200, R"({"acknowledgementState":1,"purchaseState":0})", kServiceProviderProtocolError,
     Rvr::kSuccess},
    {200, R"({"acknowledgementState":1,"purchaseState":0,"consumptionState":0,"purchaseType":3})",
     kServiceProviderProtocolError, Rvr::kSuccess},
};

Rvr Read(int status, const std::string& body, boost::system::error_code* ec) {
  Rvr out;
  *ec = GooglePlayAdapter::ReadReceiptValidationAnswer(
      status == kNoAnswer ? http::TransportCode::kCouldNotConnect : http::TransportCode::kOk,
      http::Response{status == kNoAnswer ? 0 : status, body}, &out);
  return out;
}

TEST(GooglePlayAnswerTest, StatusAndBodyGiveTheErrorOrTheVerdict) {
  for (const Row& row : kRows) {
    boost::system::error_code ec;
    const Rvr read = Read(row.status, row.body, &ec);
    EXPECT_EQ(ec.value(), row.error) << row.status << " " << row.body;
    EXPECT_EQ(IsBillerError(ec), row.error > kHttpRequestFailure) << row.body;
    if (row.error) {
      EXPECT_TRUE(read.receipt.IsNull()) << "a failed read leaves the answer as it was made";
    } else {
      EXPECT_EQ(read.code, row.verdict) << row.status << " " << row.body;
    }
  }
}

TEST(GooglePlayAnswerTest, APurchaseIsReadWithItsOptionalFields) {
  boost::system::error_code ec;
  Rvr read = Read(200,
                  R"({"kind":"androidpublisher#productPurchase","purchaseTimeMillis":"1700000000123",)"
                  R"("purchaseState":2,"consumptionState":0,"orderId":"GPA.1","purchaseType":1,)"
                  R"("acknowledgementState":1})",
                  &ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(read.kind, "androidpublisher#productPurchase");
  EXPECT_EQ(read.purchase_time_millis, "1700000000123");
  EXPECT_EQ(read.purchase_state, 2);
  EXPECT_EQ(read.not_consumed, 1);  // consumptionState 0: not consumed yet
  EXPECT_EQ(read.order_id, "GPA.1");
  EXPECT_EQ(read.purchase_type, 1);
  EXPECT_EQ(read.acknowledgement_state, 1);
  EXPECT_EQ(read.receipt.GetString("orderId"), "GPA.1");

  read = Read(200, R"({"acknowledgementState":0,"purchaseState":0,"consumptionState":1})", &ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(read.purchase_type, -1);
  EXPECT_EQ(read.order_id, "");
  EXPECT_EQ(read.purchase_time_millis, "");
  EXPECT_EQ(read.not_consumed, 0);
}

// A renewal goes through the JWT grant again, with a JWT Google accepts.
TEST(GooglePlayTokenTest, ExpiringServiceAccountTokenIsRenewedWithAFreshJwt) {
  testing::FakeHttpServer server;
  testing::FakeGoogleStore google{&server};
  std::string error;
  ASSERT_TRUE(SetStoreEndpoints(testing::MakeStoreEndpoints(&google, nullptr, nullptr), &error));
  testing::TestIoContext io;
  testing::FakeTimerFactory timers;
  GooglePlayAdapter::SetIoService(io.io());
  GooglePlayAdapter::SetTimerFactoryForTesting(timers.Factory());
  const testing::RsaKeyPair keys = testing::GenerateRsaKeyPair();
  const std::string email = "renew@game.iam.gserviceaccount.com";
  google.AddServiceAccount(email, keys.public_pem, testing::TokenScript{.expires_in = 120});
  const GoogleServiceAccount account{email, keys.private_pem};
  auto token = [](auto ask) {
    auto answer = std::make_shared<std::promise<std::string>>();
    ask([answer](const std::string& token, const boost::system::error_code& ec) {
      answer->set_value(ec ? ec.message() : token);
    });
    return answer->get_future().get();
  };
  EXPECT_EQ(token([&](auto done) { GooglePlayAdapter::GetAccessToken(account, done); }),
            "ya29." + email + ".1");
  ASSERT_EQ(timers.states().size(), 1u);
  auto timer = timers.states()[0];
  EXPECT_EQ(timer->expiries.back(), std::chrono::seconds(60));

  // The token is about to expire. The wait is copied out first: the renewal
  // re-arms the timer on another thread.
  DeadlineTimer::Handler expire = timer->last;
  expire(boost::system::error_code());
  EXPECT_EQ(token([&](auto done) {
              GooglePlayAdapter::GetCachedAccessToken(GooglePlayAdapter::TokenKey(account), done);
            }),
            "ya29." + email + ".2");
  EXPECT_EQ(google.TokenRequestCount(email), 2);
  EXPECT_EQ(google.LastRefusal(), "");
  GooglePlayAdapter::Shutdown();
  GooglePlayAdapter::SetTimerFactoryForTesting(&DeadlineTimer::Create);
  SetStoreEndpoints(Json(), &error);
}

}  // namespace
}  // namespace tvx
