// Apple's two newer receipt forms end to end: a signed transaction verified
// by the biller, and a transaction id asked of the fake App Store Server
// API; both share the verifyReceipt purchases' table and identity.
#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "src/billing_error.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

using V = Biller::ReceiptValidation_Response;
using Api = FakeAppleServerApi;

constexpr char kRowQuery[] =
    "SELECT transaction_id, is_sandbox, product_id, quantity, purchase_date, "
    "purchase_date_time_zone FROM tb_receipt_apple_appstore2 ORDER BY id";

std::string Receipt(const char* form, const std::string& value,
                    const std::string& product_id = "gem_100") {
  return JsonObject(
             {{"service_provider", "AppleAppStore"}, {form, value}, {"product_id", product_id}})
      .ToString();
}

std::string Signed(const std::string& transaction_id, AppleTestPki::SignOptions options = {},
                   const std::string& bundle_id = Api::kBundleId,
                   const std::string& environment = "Production") {
  return AppleTestPki::Get().Sign(
      AppleTestPki::Transaction(transaction_id, "gem_100", bundle_id, environment, NowMillis()),
      options);
}

class AppleServerApiTest : public StoreValidationTest {
 protected:
  void Start(const std::string& environment = "auto") {
    Json endpoints = Json::Object();
    apple_.AddEndpoints(&endpoints);
    api_.AddEndpoints(&endpoints);
    Json arguments = StoreArguments(endpoints);
    arguments.SetAttribute("apple_app_store_server_api", api_.Argument(environment));
    StoreValidationTest::Start(arguments);
  }
  int64_t ValidateId(const std::string& transaction_id) {
    return ResultOf(client_->Validate(Receipt("transaction_id", transaction_id)));
  }

  FakeAppleStore apple_{&server_};
  FakeAppleServerApi api_{&server_};
};

// A signed transaction is checked without asking Apple (which chains the
// verifier refuses: its unit test); a transaction id is asked of Apple.
TEST_F(AppleServerApiTest, BothFormsProvisionATransactionOnceAndIdsAreAskedAgainWhenRefused) {
  for (const std::string n : {"1", "2"}) {
    apple_.Script(FakeAppleStore::kProduction, "receipt-" + n,
                  {FakeAppleStore::Verified({FakeAppleStore::Purchase("gem_100", "1", "T-" + n)})});
  }
  Json revoked =
      AppleTestPki::Transaction("R-1", "gem_100", Api::kBundleId, "Production", NowMillis());
  revoked.SetAttribute("revocationDate", Json(NowMillis()));
  api_.Script(Api::kSandbox, "sandbox-only", {Api::Found(Signed("sandbox-only", {},
                                                                Api::kBundleId, "Sandbox"))});
  api_.Script(Api::kProduction, "flaky", {FakeResponse::Raw(503), Api::Found(Signed("flaky"))});
  api_.Script(Api::kProduction, "renewed", {Api::Unauthorized(), Api::Found(Signed("renewed"))});
  api_.Script(Api::kProduction, "forged",
              {Api::Found(Signed("forged", {.chain = AppleTestPki::Chain::kOtherRoot}))});
  Start();

  const auto response = client_->Validate(Receipt("signed_transaction", Signed("T-1")), true);
  ASSERT_EQ(ResultOf(response), V::kSuccess) << biller_->Log();
  Json decoded;
  ASSERT_TRUE(decoded.FromString(response.receipt_validation().decoded_receipt()));
  EXPECT_EQ(decoded.GetString("service_provider") + " " + decoded.GetString("transactionId") + " " +
                decoded.GetString("bundleId"),
            std::string("AppleAppStore T-1 ") + Api::kBundleId);
  // The same transaction through verifyReceipt, and the other way round.
  const std::pair<std::string, int64_t> cases[] = {
      {MakeAppleAppStoreReceipt("receipt-1", "gem_100", 1), V::kFailAlreadyProvisioned},
      {MakeAppleAppStoreReceipt("receipt-2", "gem_100", 1), V::kSuccess},
      {Receipt("signed_transaction", Signed("T-2")), V::kFailAlreadyProvisioned},
      {Receipt("signed_transaction", Signed("W-2"), "gem_500"), kProductMismatch},
      {Receipt("signed_transaction", Signed("W-3", {}, "com.example.other")), V::kFailWrongReceipt},
      {Receipt("signed_transaction", AppleTestPki::Get().Sign(revoked)), V::kFailCancelledReceipt},
  };
  for (const auto& [receipt, result] : cases) {
    EXPECT_EQ(ResultOf(client_->Validate(receipt)), result) << receipt.substr(0, 120);
  }
  EXPECT_EQ(ValidateOverHttp(*biller_, "/v1/validation/appleappstore", OpenHttpSession(*biller_),
                             JsonObject({{"signed_transaction", Signed("H-1")},
                                         {"product_id", "gem_100"}})),
            0);

  const auto records = ActivityRecords(*biller_, "Purchase");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].GetInteger("client_timestamp"), 1551774276);
  EXPECT_EQ(api_.RequestCount(Api::kProduction) + api_.RequestCount(Api::kSandbox), 0);

  // Results and the production and sandbox request counts after each ("..": an
  // id cannot step up Apple's path).
  std::string seen;
  for (const char* id : {"sandbox-only", "nowhere", "..", "flaky", "renewed"}) {
    const int64_t result = ValidateId(id);
    seen += std::to_string(result) + " " + std::to_string(api_.RequestCount(Api::kProduction)) +
            " " + std::to_string(api_.RequestCount(Api::kSandbox)) + ", ";
  }
  EXPECT_EQ(seen, "0 1 1, 1001 2 2, 1001 3 3, 0 5 3, 0 7 3, ") << biller_->Log();
  // The refused token was replaced by a new one, which the fake accepted.
  const std::vector<FakeRequest> asked = server_.Requests("/production");
  ASSERT_GE(asked.size(), 2u);
  EXPECT_NE(asked[asked.size() - 1].Bearer(), asked[asked.size() - 2].Bearer());

  // The first back-off delay is below two seconds; Apple's time is later.
  const int64_t retry_after = NowMillis() + 2500;
  api_.Script(Api::kProduction, "limited",
              {Api::RateLimited(retry_after), Api::Found(Signed("limited"))});
  EXPECT_EQ(ValidateId("limited"), V::kSuccess);
  EXPECT_GE(server_.Requests("/production").back().received_ms, retry_after);
  EXPECT_EQ(ValidateId("forged"), V::kFailWrongReceipt);

  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 7u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"T-1", "0", "gem_100", "1", "2019-03-05 08:24:36",
                                               "Etc/GMT"}));
  EXPECT_EQ(rows[3][1], "1");  // the sandbox's purchase
  EXPECT_EQ(api_.RequestCount(Api::kProduction), 10);
  // Which count each refusal moves goes with its answer: the flows' unit test.
  ExpectCounts("apple", {{"execution_count", 17}, {"success_count", 7}});
}

TEST_F(AppleServerApiTest, ProductionNeverAsksTheSandbox) {
  Start("production");
  EXPECT_EQ(ValidateId("sandbox-only"), V::kFailWrongReceipt);
  EXPECT_EQ(api_.RequestCount(Api::kProduction), 1);
  EXPECT_EQ(api_.RequestCount(Api::kSandbox), 0);
}

}  // namespace
}  // namespace tvx::testing
