// OneStore validation end to end: a biller-server process authenticated with
// a client of the fake OneStore token service, the fake purchase endpoint on
// the production and test hosts, and the test MariaDB.
#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/validation_client.h"

namespace tvx::testing {
namespace {

using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kRowQuery[] =
    "SELECT biller_client_id, player_id, player_service_provider, is_test, purchase_id, "
    "package_name, product_id, consumption_state, purchase_state, purchase_time "
    "FROM tb_receipt_one_store ORDER BY id";

class OneStoreValidationTest : public StoreValidationTest {
 protected:
  OneStoreValidationTest() {
    production_.AddClient("os-client", "os-secret");
    test_host_.AddClient("os-client", "os-secret");
  }

  void Start(bool use_test_server = false) {
    StoreValidationTest::Start(
        StoreArguments(MakeStoreEndpoints(nullptr, &production_, &test_host_)),
        {std::string("--biller_use_one_store_test_server=") + (use_test_server ? "true" : "false")},
        {MakeOneStoreAuthKey("os-client", "os-secret")});
  }

  Biller::Response Validate(const std::string& purchase_id, bool fill_decoded_receipt = false) {
    return client_->Validate(MakeOneStoreReceiptV5(purchase_id, "com.talvex.game", "gem_100"),
                             fill_decoded_receipt);
  }

  FakeOneStore production_{&server_, "/prod"};
  FakeOneStore test_host_{&server_, "/sandbox"};
};

TEST_F(OneStoreValidationTest, PurchaseIsRecordedOnceWithoutAPurchaseRecord) {
  production_.SetPurchase("purchase/1",
                          {FakeResponse::Json(200, FakeOneStore::MakePurchase(0, 1700000000123))});
  Start();

  const auto response = Validate("purchase/1", true);
  ASSERT_EQ(ResultOf(response), ValidationResponse::kSuccess) << biller_->Log();
  Json decoded;
  ASSERT_TRUE(decoded.FromString(response.receipt_validation().decoded_receipt()));
  EXPECT_EQ(decoded.GetString("service_provider"), "OneStore");
  EXPECT_EQ(decoded.GetInteger("purchaseTime"), 1700000000123);

  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"game-server-1", "player-1", "guest", "0",
                                               "purchase/1", "com.talvex.game", "gem_100", "0",
                                               "0", "1700000000123"}));
  EXPECT_TRUE(ActivityRecords(*biller_, "Purchase").empty());

  EXPECT_EQ(ResultOf(Validate("purchase/1")), ValidationResponse::kFailAlreadyProvisioned);
  EXPECT_EQ(QueryRows(*biller_, kRowQuery).size(), 1u);
  ExpectCounts(
      "one_store",
      {{"execution_count", 2}, {"success_count", 1}, {"already_provisioned_receipts_count", 1}});
}

TEST_F(OneStoreValidationTest, RefusedAndCancelledPurchasesAreNotRecorded) {
  // OneStore names an unknown purchase with an "error" object and status 200.
  Json refused = Json::Object();
  Json error = Json::Object();
  error.SetString("code", "NotFound");
  refused.SetAttribute("error", error);
  production_.SetPurchase("refused", {FakeResponse::Json(200, refused)});
  production_.SetPurchase("cancelled", {FakeResponse::Json(200, FakeOneStore::MakePurchase(1))});
  Start();

  EXPECT_EQ(ResultOf(Validate("refused")), ValidationResponse::kFailWrongReceipt);
  EXPECT_EQ(production_.PurchaseRequestCount("refused"), 1);
  EXPECT_EQ(ResultOf(Validate("cancelled")), ValidationResponse::kFailCancelledReceipt);
  EXPECT_EQ(ResultOf(Validate("")), ValidationResponse::kFailWrongReceipt);
  EXPECT_TRUE(QueryRows(*biller_, kRowQuery).empty());
  ExpectCounts("one_store", {{"wrong_receipts_count", 1}, {"already_cancelled_receipts_count", 1}});
}

TEST_F(OneStoreValidationTest, TestServerOptionReachesTheHostAndTheRecord) {
  test_host_.SetPurchase("sandbox-1", {FakeResponse::Json(200, FakeOneStore::MakePurchase(0))});
  Start(true);
  // The client's credentials are proven on the test host too.
  EXPECT_EQ(test_host_.TokenRequestCount("os-client"), 1);
  EXPECT_EQ(production_.TokenRequestCount("os-client"), 0);

  EXPECT_EQ(ResultOf(Validate("sandbox-1")), ValidationResponse::kSuccess) << biller_->Log();
  EXPECT_EQ(test_host_.PurchaseRequestCount("sandbox-1"), 1);
  EXPECT_EQ(production_.PurchaseRequestCount("sandbox-1"), 0);
  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][3], "1");
}

}  // namespace
}  // namespace tvx::testing
