// Google Play validation end to end: a biller-server process authenticated
// with an OAuth client of the fake Google token service, the fake Android
// Publisher purchase endpoint, and the test MariaDB.
#include <chrono>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/validation_client.h"

namespace tvx::testing {
namespace {

using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kRowQuery[] =
    "SELECT biller_client_id, player_id, player_service_provider, package_name, product_id, "
    "purchase_token, kind, purchase_time_millis, purchase_time_zone, purchase_state, "
    "consumption_state, order_id, acknowledgement_state, purchase_type "
    "FROM tb_receipt_google_play_v3 ORDER BY id";

const std::string kGoogleKey = MakeGooglePlayAuthKey("oauth-client", "secret", "refresh");

Biller::Response ValidateToken(ValidationClient& client, const std::string& purchase_token,
                               bool fill_decoded_receipt = false) {
  return client.Validate(MakeGooglePlayReceipt("com.talvex.game", "gem_100", purchase_token),
                         fill_decoded_receipt);
}

class GooglePlayValidationTest : public StoreValidationTest {
 protected:
  GooglePlayValidationTest() { google_.AddOAuthClient("oauth-client", "secret", "refresh"); }

  void Start() {
    StoreValidationTest::Start(StoreArguments(MakeStoreEndpoints(&google_, nullptr, nullptr)), {},
                               {kGoogleKey});
  }

  Biller::Response Validate(const std::string& purchase_token, bool fill = false) {
    return ValidateToken(*client_, purchase_token, fill);
  }

  FakeGoogleStore google_{&server_};
};

TEST_F(GooglePlayValidationTest, PurchaseIsRecordedOnceWithItsPurchaseRecord) {
  // Characters that would cut or redirect the query reach Google encoded.
  const std::string token = "tok/en?x=1&y#z";
  google_.SetPurchase(token, {FakeResponse::Json(200, FakeGoogleStore::MakePurchase(0))});
  Start();

  const auto response = Validate(token, true);
  ASSERT_EQ(ResultOf(response), ValidationResponse::kSuccess) << biller_->Log();
  Json decoded;
  ASSERT_TRUE(decoded.FromString(response.receipt_validation().decoded_receipt()));
  EXPECT_EQ(decoded.GetString("service_provider"), "GooglePlay");
  EXPECT_EQ(decoded.GetString("orderId"), "GPA.1");
  const FakeRequest query = google_.LastPurchaseRequest();
  EXPECT_NE(query.target.find("/tokens/tok%2Fen%3Fx%3D1%26y%23z?access_token="),
            std::string::npos)
      << query.target;

  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{
                         "game-server-1", "player-1", "guest", "com.talvex.game", "gem_100",
                         token, "androidpublisher#productPurchase", "1700000000123", "UTC", "0",
                         "1", "GPA.1", "1", "0"}));

  auto records = ActivityRecords(*biller_, "Purchase");
  ASSERT_EQ(records.size(), 1u);
  const Json& record = records[0];
  EXPECT_EQ(record.GetAttributeNames().size(), 8u);
  EXPECT_EQ(record.GetString("biller_client"), "game-server-1");
  EXPECT_EQ(record.GetString("local_account"), "player-1");
  EXPECT_EQ(record.GetString("account_provider"), "guest");
  EXPECT_EQ(record.GetString("product_id"), "gem_100");
  EXPECT_EQ(record.GetInteger("quantity"), 1);
  EXPECT_EQ(record.GetInteger("client_timestamp"), 1700000000);
  EXPECT_EQ(record.GetString("client_timezone"), "UTC");
  EXPECT_NEAR(static_cast<double>(record.GetInteger("server_timestamp")),
              static_cast<double>(std::time(nullptr)), 60);

  // The same purchase again: provisioned already, no second record. The
  // answer without the flag carries no decoded receipt.
  const auto again = Validate(token);
  EXPECT_EQ(ResultOf(again), ValidationResponse::kFailAlreadyProvisioned);
  EXPECT_FALSE(again.receipt_validation().has_decoded_receipt());
  EXPECT_EQ(QueryRows(*biller_, kRowQuery).size(), 1u);
  EXPECT_EQ(ActivityRecords(*biller_, "Purchase").size(), 1u);
  ExpectCounts(
      "google_play",
      {{"execution_count", 2}, {"success_count", 1}, {"already_provisioned_receipts_count", 1}});
  EXPECT_TRUE(biller_->WaitForLog("[Google PlayStore] Verified: session="));
}

TEST_F(GooglePlayValidationTest, UnprovenPurchasesAreAnsweredWithoutARecord) {
  google_.SetPurchase("cancelled", {FakeResponse::Json(200, FakeGoogleStore::MakePurchase(1))});
  google_.SetPurchase("pending", {FakeResponse::Json(200, FakeGoogleStore::MakePurchase(2))});
  Json unacknowledged = FakeGoogleStore::MakePurchase(0);
  unacknowledged.SetString("acknowledgementState", "1");
  google_.SetPurchase("malformed", {FakeResponse::Json(200, unacknowledged)});
  Start();

  EXPECT_EQ(ResultOf(Validate("cancelled")), ValidationResponse::kFailCancelledReceipt);
  EXPECT_EQ(ResultOf(Validate("pending")), ValidationResponse::kFailPendingReceipt);
  // Unknown to Google: it answers 404.
  EXPECT_EQ(ResultOf(Validate("unknown")), ValidationResponse::kFailWrongReceipt);
  // A malformed answer is Google's fault, not the receipt's; it is not retried.
  const auto malformed = Validate("malformed");
  EXPECT_TRUE(malformed.has_fail()) << malformed.DebugString();
  EXPECT_EQ(ResultOf(malformed), 2004);
  EXPECT_EQ(google_.PurchaseRequestCount("malformed"), 1);

  EXPECT_TRUE(QueryRows(*biller_, kRowQuery).empty());
  EXPECT_TRUE(ActivityRecords(*biller_, "Purchase").empty());
  ExpectCounts(
      "google_play",
      {{"success_count", 0}, {"already_cancelled_receipts_count", 1}, {"wrong_receipts_count", 1}});
}

TEST_F(GooglePlayValidationTest, ReceiptAndCredentialsAreCheckedBeforeGoogleIsAsked) {
  Start();
  EXPECT_EQ(ResultOf(Validate("")), ValidationResponse::kFailWrongReceipt);
  EXPECT_EQ(ResultOf(client_->Validate(R"({"service_provider":"GooglePlay","package_name":"p",)"
                                       R"("product_id":5,"purchase_token":"t"})")),
            ValidationResponse::kFailWrongReceipt);

  ValidationClient without_google(*biller_);
  ASSERT_TRUE(without_google.ok());
  EXPECT_EQ(ResultOf(ValidateToken(without_google, "token")),
            ValidationResponse::kFailNotAuthenticatedServiceProvider);
  EXPECT_EQ(server_.RequestCount(), google_.TokenRequestCount("oauth-client"));
}

TEST_F(GooglePlayValidationTest, UnavailableGoogleIsAskedAgainSoon) {
  google_.SetPurchase("token", {FakeResponse::Raw(503, "busy"),
                                FakeResponse::Json(200, FakeGoogleStore::MakePurchase(0))});
  Start();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ResultOf(Validate("token")), ValidationResponse::kSuccess) << biller_->Log();
  // The first back-off delay is below 2 s; the rest is the two round trips.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  EXPECT_EQ(google_.PurchaseRequestCount("token"), 2);
  // The retry reuses the token it already had.
  EXPECT_EQ(google_.TokenRequestCount("oauth-client"), 1);
  // The failed attempt is counted as a communication failure.
  ExpectCounts("google_play", {{"success_count", 1}});
  EXPECT_TRUE(biller_->WaitForLog("Failed to validate Google receipt, retry after "));
}

TEST_F(GooglePlayValidationTest, PurchaseWithoutReadableTimeIsLoggedAtTimeZero) {
  Json purchase = FakeGoogleStore::MakePurchase(0, "GPA.2", "soon");
  google_.SetPurchase("token", {FakeResponse::Json(200, purchase)});
  Start();
  EXPECT_EQ(ResultOf(Validate("token")), ValidationResponse::kSuccess);
  const auto records = ActivityRecords(*biller_, "Purchase");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].GetInteger("client_timestamp"), 0);
}

TEST_F(GooglePlayValidationTest, ConcurrentValidationsOfOnePurchaseRecordItOnce) {
  constexpr int kClients = 20;
  FakeResponse slow = FakeResponse::Json(200, FakeGoogleStore::MakePurchase(0));
  slow.delay = std::chrono::milliseconds(50);
  google_.SetPurchase("shared", {slow});
  Start();

  std::vector<std::unique_ptr<ValidationClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<ValidationClient>(*biller_, "game-server-1",
                                                         std::vector<std::string>{kGoogleKey}));
    ASSERT_TRUE(clients.back()->ok()) << biller_->Log();
  }
  std::vector<int64_t> results(kClients, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] { results[i] = ResultOf(ValidateToken(*clients[i], "shared")); });
  }
  for (auto& thread : threads) thread.join();

  int successes = 0;
  for (int64_t result : results) {
    if (result == ValidationResponse::kSuccess) {
      ++successes;
    } else {
      EXPECT_EQ(result, ValidationResponse::kFailAlreadyProvisioned);
    }
  }
  EXPECT_EQ(successes, 1);
  EXPECT_EQ(QueryRows(*biller_, kRowQuery).size(), 1u);
  EXPECT_EQ(ActivityRecords(*biller_, "Purchase").size(), 1u);
  ExpectCounts("google_play", {{"execution_count", kClients},
                               {"success_count", 1},
                               {"already_provisioned_receipts_count", kClients - 1}});
}

}  // namespace
}  // namespace tvx::testing
