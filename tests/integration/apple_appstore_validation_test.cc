// Apple App Store validation end to end: a biller-server process, the fake
// Apple production and sandbox endpoints, and the test MariaDB.
#include <ctime>

#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "src/billing_error.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_apple_server.h"
#include "tests/support/validation_client.h"

namespace tvx::testing {
namespace {

using ValidationResponse = Biller::ReceiptValidation_Response;
using Apple = FakeAppleStore;

constexpr char kRowQuery[] =
    "SELECT is_sandbox, receipt_data, product_id, quantity, transaction_id, "
    "original_transaction_id, purchase_date, purchase_date_time_zone, original_purchase_date, "
    "original_purchase_date_time_zone, biller_client_id, player_id, player_service_provider "
    "FROM tb_receipt_apple_appstore2 ORDER BY id";

class AppleAppStoreValidationTest : public StoreValidationTest {
 protected:
  void Start() {
    Json endpoints = Json::Object();
    apple_.AddEndpoints(&endpoints);
    StoreValidationTest::Start(StoreArguments(endpoints));
  }

  Biller::Response Validate(const std::string& receipt_data, const std::string& product_id,
                            int64_t quantity, bool fill_decoded_receipt = false) {
    return client_->Validate(MakeAppleAppStoreReceipt(receipt_data, product_id, quantity),
                             fill_decoded_receipt);
  }

  // Scripts one production answer for the receipt and validates it.
  int64_t ValidateAnswered(const std::string& receipt_data, const FakeResponse& answer,
                           const std::string& product_id = "gem_100", int64_t quantity = 1) {
    apple_.Script(Apple::kProduction, receipt_data, {answer});
    return ResultOf(Validate(receipt_data, product_id, quantity));
  }

  FakeAppleStore apple_{&server_};
};

TEST_F(AppleAppStoreValidationTest, VerifiedPurchaseIsRecordedOnceWithItsPurchaseRecord) {
  // Quotes and backslashes reach Apple as they are; the stored receipt loses
  // only its trailing padding.
  const std::string receipt_data = "MIIT\"quoted\\slash+/==";
  apple_.Script(Apple::kProduction, receipt_data,
                {Apple::Verified({Apple::Purchase("coin_10", "1", "2000000001"),
                                  Apple::Purchase("gem_100", "3", "1000000501")})});
  Start();

  const auto response = Validate(receipt_data, "gem_100", 3, true);
  ASSERT_EQ(ResultOf(response), ValidationResponse::kSuccess) << biller_->Log();
  Json decoded;
  ASSERT_TRUE(decoded.FromString(response.receipt_validation().decoded_receipt()));
  EXPECT_EQ(decoded.GetString("service_provider"), "AppleAppStore");
  EXPECT_EQ(decoded["receipt"]["in_app"].Size(), 2u);

  ASSERT_EQ(apple_.RequestCount(Apple::kProduction), 1);
  EXPECT_EQ(apple_.RequestCount(Apple::kSandbox), 0);
  Json body;
  ASSERT_TRUE(body.FromString(apple_.Requests(Apple::kProduction)[0].body));
  EXPECT_EQ(body.Size(), 1u);

  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{
                         "0", "MIIT\"quoted\\\\slash+/", "gem_100", "3", "1000000501",
                         "1000000501", "2019-03-05 08:24:36", "Etc/GMT", "2019-03-05 08:24:36",
                         "Etc/GMT", "game-server-1", "player-1", "guest"}));

  const auto records = ActivityRecords(*biller_, "Purchase");
  ASSERT_EQ(records.size(), 1u);
  const Json& record = records[0];
  EXPECT_EQ(record.GetString("biller_client"), "game-server-1");
  EXPECT_EQ(record.GetString("local_account"), "player-1");
  EXPECT_EQ(record.GetString("account_provider"), "guest");
  EXPECT_EQ(record.GetString("product_id"), "gem_100");
  EXPECT_EQ(record.GetInteger("quantity"), 3);
  EXPECT_EQ(record.GetInteger("client_timestamp"), 1551774276);
  EXPECT_EQ(record.GetString("client_timezone"), "Etc/GMT");
  EXPECT_NEAR(static_cast<double>(record.GetInteger("server_timestamp")),
              static_cast<double>(std::time(nullptr)), 60);

  ExpectCounts("apple", {{"execution_count", 1}, {"success_count", 1}});
  EXPECT_TRUE(biller_->WaitForLog("[Apple AppStore] Verified: session="));
}

TEST_F(AppleAppStoreValidationTest, TransactionIsProvisionedOnce) {
  const FakeResponse answer = Apple::Verified({Apple::Purchase("gem_100", "1", "T-1")});
  apple_.Script(Apple::kProduction, "receipt-a", {answer});
  apple_.Script(Apple::kProduction, "receipt-b", {answer});
  Start();

  EXPECT_EQ(ResultOf(Validate("receipt-a", "gem_100", 1)), ValidationResponse::kSuccess);
  // The same receipt again, and another receipt holding the same transaction.
  EXPECT_EQ(ResultOf(Validate("receipt-a", "gem_100", 1)),
            ValidationResponse::kFailAlreadyProvisioned);
  EXPECT_EQ(ResultOf(Validate("receipt-b", "gem_100", 1)),
            ValidationResponse::kFailAlreadyProvisioned);

  EXPECT_EQ(QueryRows(*biller_, kRowQuery).size(), 1u);
  EXPECT_EQ(ActivityRecords(*biller_, "Purchase").size(), 1u);
  ExpectCounts(
      "apple",
      {{"execution_count", 3}, {"success_count", 1}, {"already_provisioned_receipts_count", 2}});
}

TEST_F(AppleAppStoreValidationTest, SandboxReceiptsAreAskedAtTheSandboxOnce) {
  apple_.Script(Apple::kProduction, "sandbox-receipt", {Apple::Status(Apple::kSandboxReceipt)});
  apple_.Script(Apple::kSandbox, "sandbox-receipt",
                {Apple::Verified({Apple::Purchase("gem_100", "1", "S-1")})});
  apple_.Script(Apple::kProduction, "nowhere-receipt", {Apple::Status(Apple::kSandboxReceipt)});
  apple_.Script(Apple::kSandbox, "nowhere-receipt", {Apple::Status(Apple::kSandboxReceipt)});
  Start();

  EXPECT_EQ(ResultOf(Validate("sandbox-receipt", "gem_100", 1)), ValidationResponse::kSuccess);
  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "1");  // is_sandbox

  // The sandbox calling it a sandbox receipt too ends the search.
  EXPECT_EQ(ResultOf(Validate("nowhere-receipt", "gem_100", 1)),
            ValidationResponse::kFailWrongReceipt);
  EXPECT_EQ(apple_.RequestCount(Apple::kProduction), 2);
  EXPECT_EQ(apple_.RequestCount(Apple::kSandbox), 2);
  ExpectCounts("apple",
               {{"execution_count", 2}, {"success_count", 1}, {"wrong_receipts_count", 1}});
}

TEST_F(AppleAppStoreValidationTest, NegativeVerdictsAreAnsweredWithTheirResults) {
  Json cancelled = Apple::Purchase("gem_100", "1", "C-1");
  cancelled.SetString("cancellation_date", "2019-03-06 08:24:36 Etc/GMT");
  Start();

  EXPECT_EQ(ValidateAnswered("cancelled", Apple::Verified({cancelled})),
            ValidationResponse::kFailCancelledReceipt);
  EXPECT_EQ(ValidateAnswered("rejected", Apple::Status(21003)),
            ValidationResponse::kFailWrongReceipt);
  EXPECT_EQ(ValidateAnswered("no-purchases", Apple::Verified({})),
            ValidationResponse::kFailProductInformationNotFound);

  EXPECT_TRUE(QueryRows(*biller_, kRowQuery).empty());
  EXPECT_TRUE(ActivityRecords(*biller_, "Purchase").empty());
  // A receipt without purchases counts as a wrong receipt.
  ExpectCounts("apple", {{"execution_count", 3},
                         {"already_cancelled_receipts_count", 1},
                         {"wrong_receipts_count", 2},
                         {"success_count", 0}});
}

TEST_F(AppleAppStoreValidationTest, AnswersThatDoNotVouchForThePurchaseFailWithoutRetryOrRecord) {
  const FakeResponse two_gems = Apple::Verified({Apple::Purchase("gem_100", "2", "Q-1")});
  Start();

  EXPECT_EQ(ValidateAnswered("other-product", two_gems, "sword", 2), kProductMismatch);
  EXPECT_EQ(ValidateAnswered("fewer", two_gems, "gem_100", 1), kProductMismatch);
  for (const auto& [receipt, answer] :
       {std::pair{"not-json", FakeResponse::Raw(200, "<html>busy</html>")},
        std::pair{"bad-date", Apple::Verified({Apple::Purchase("gem_100", "1", "M-2",
                                                               "the fifth of March")})}}) {
    apple_.Script(Apple::kProduction, receipt, {answer});
    const auto response = Validate(receipt, "gem_100", 1);
    EXPECT_EQ(ResultOf(response), kServiceProviderProtocolError) << receipt;
    EXPECT_EQ(response.fail().description(), "Talvex-Biller: service provider protocol error");
  }
  EXPECT_TRUE(QueryRows(*biller_, kRowQuery).empty());
  EXPECT_TRUE(ActivityRecords(*biller_, "Purchase").empty());

  // Apple's quantity is a decimal text; its form does not matter.
  EXPECT_EQ(
      ValidateAnswered("leading-zero", Apple::Verified({Apple::Purchase("gem_100", "01", "Q-2")})),
      ValidationResponse::kSuccess);
  EXPECT_EQ(QueryRows(*biller_, kRowQuery).size(), 1u);
  // Failed checks are counted as store failures, never retried.
  EXPECT_EQ(apple_.RequestCount(Apple::kProduction), 5);
  ExpectCounts("apple", {{"execution_count", 5}, {"success_count", 1}});
}

TEST_F(AppleAppStoreValidationTest, UnavailableServerFailsAtOnceButUnreachableServerIsRetried) {
  apple_.Script(
      Apple::kProduction, "busy-then-fine",
      {FakeResponse::Raw(503), Apple::Verified({Apple::Purchase("gem_100", "1", "R-1")})});
  apple_.Script(Apple::kProduction, "server-down", {Apple::Status(Apple::kServerUnavailable)});
  Start();

  const auto down = Validate("server-down", "gem_100", 1);
  EXPECT_EQ(ResultOf(down), kServiceProviderCommunicationError);
  EXPECT_EQ(down.fail().description(), "Talvex-Biller: service provider communication error");

  // The first delay is below two seconds.
  EXPECT_EQ(ResultOf(Validate("busy-then-fine", "gem_100", 1)), ValidationResponse::kSuccess);
  EXPECT_EQ(biller_->CountInLog("Failed to validate Apple AppStore receipt, retry after "), 1);
  EXPECT_EQ(apple_.RequestCount(Apple::kProduction), 3);
  // Each failed attempt counts, the retried one too.
  ExpectCounts("apple", {{"execution_count", 3}, {"success_count", 1}});
}

TEST_F(AppleAppStoreValidationTest, MalformedReceiptsAreRefusedBeforeAppleIsAsked) {
  Start();
  Json string_quantity = Json::Object();
  string_quantity.SetString("service_provider", "AppleAppStore");
  string_quantity.SetString("receipt_data", "data");
  string_quantity.SetString("product_id", "gem_100");
  string_quantity.SetString("quantity", "1");
  EXPECT_EQ(ResultOf(client_->Validate(string_quantity.ToString())),
            ValidationResponse::kFailWrongReceipt);
  EXPECT_EQ(ResultOf(Validate("", "gem_100", 1)), ValidationResponse::kFailWrongReceipt);
  EXPECT_EQ(ResultOf(Validate("data", "", 1)), ValidationResponse::kFailWrongReceipt);

  EXPECT_EQ(server_.RequestCount(), 0);
  EXPECT_TRUE(biller_->WaitForLog("[Apple AppStore] Invalid Apple AppStore receipt found: "
                                  "session_id="));
  // Nothing is counted for a receipt that never reached the store.
  const Json block = AwaitAllTimeCounts(*biller_, "apple", {{"execution_count", 0}});
  EXPECT_TRUE(HasCounts(block, {{"execution_count", 0}})) << block.ToString();
}

}  // namespace
}  // namespace tvx::testing
