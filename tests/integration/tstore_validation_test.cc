// TStore validation end to end: a biller-server process, the fake TStore
// production and development endpoints, and the test MariaDB.
#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "src/billing_error.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_tstore_server.h"
#include "tests/support/validation_client.h"

namespace tvx::testing {
namespace {

using ValidationResponse = Biller::ReceiptValidation_Response;
using TStore = FakeTStore;

constexpr char kAppId[] = "OA00012345";
constexpr char kRowQuery[] =
    "SELECT is_test, txid, appid, signdata, requested_product_ids, verified_product_ids, "
    "biller_client_id, player_id, player_service_provider FROM tb_receipt_tstore ORDER BY id";

class TStoreValidationTest : public StoreValidationTest {
 protected:
  void Start() {
    Json endpoints = Json::Object();
    tstore_.AddEndpoints(&endpoints);
    StoreValidationTest::Start(StoreArguments(endpoints));
  }

  Biller::Response Validate(const std::string& txid, const std::vector<std::string>& products,
                            bool test = false, bool fill_decoded_receipt = false) {
    return client_->Validate(MakeOneStoreReceipt(txid, kAppId, "sign-" + txid, products, test),
                             fill_decoded_receipt);
  }

  // Scripts one production answer for the txid and validates it.
  int64_t ValidateAnswered(const std::string& txid, const FakeResponse& answer,
                           const std::vector<std::string>& products = {"gem_100"}) {
    tstore_.Script(TStore::kProduction, txid, {answer});
    return ResultOf(Validate(txid, products));
  }

  FakeTStore tstore_{&server_};
};

TEST_F(TStoreValidationTest, ConfirmedPurchaseIsRecordedWithBothProductLists) {
  // The store writes the application and the product in its own case and
  // confirms an item the client did not name.
  tstore_.Script(TStore::kProduction, "TX-1",
                 {TStore::Confirmed({TStore::Product("oa00012345", "gem_100"),
                                     TStore::Product("OA00012345", "bonus_item")})});
  Start();

  const auto response = Validate("TX-1", {"GEM_100"}, false, true);
  ASSERT_EQ(ResultOf(response), ValidationResponse::kSuccess) << biller_->Log();
  Json decoded;
  ASSERT_TRUE(decoded.FromString(response.receipt_validation().decoded_receipt()));
  EXPECT_EQ(decoded.GetString("service_provider"), "TStore");
  EXPECT_EQ(decoded.GetString("txid"), "TX-1");
  EXPECT_EQ(decoded.GetInteger("count"), 2);

  ASSERT_EQ(tstore_.RequestCount(TStore::kProduction), 1);
  EXPECT_EQ(tstore_.RequestCount(TStore::kDevelopment), 0);
  Json body;
  ASSERT_TRUE(body.FromString(tstore_.Requests(TStore::kProduction)[0].body));
  EXPECT_EQ(body.GetAttributeNames(), (std::vector<std::string>{"txid", "appid", "signdata"}));
  EXPECT_EQ(body.GetString("signdata"), "sign-TX-1");

  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"0", "TX-1", kAppId, "sign-TX-1", "GEM_100",
                                               "gem_100, bonus_item", "game-server-1",
                                               "player-1", "guest"}));
  // TStore purchases write no activity record.
  EXPECT_TRUE(ActivityRecords(*biller_, "Purchase").empty());

  EXPECT_EQ(ResultOf(Validate("TX-1", {"GEM_100"})), ValidationResponse::kFailAlreadyProvisioned);
  EXPECT_EQ(QueryRows(*biller_, kRowQuery).size(), 1u);
  ExpectCounts(
      "tstore",
      {{"execution_count", 2}, {"success_count", 1}, {"already_provisioned_receipts_count", 1}});
}

TEST_F(TStoreValidationTest, TestReceiptsAreConfirmedByTheDevelopmentEndpoint) {
  tstore_.Script(TStore::kDevelopment, "TX-DEV", {TStore::Confirmed({})});
  Start();

  EXPECT_EQ(ResultOf(Validate("TX-DEV", {}, true)), ValidationResponse::kSuccess);
  EXPECT_EQ(tstore_.RequestCount(TStore::kDevelopment), 1);
  EXPECT_EQ(tstore_.RequestCount(TStore::kProduction), 0);
  const auto rows = QueryRows(*biller_, kRowQuery);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], "1");
  EXPECT_EQ(rows[0][4], "");
  EXPECT_EQ(rows[0][5], "");
}

TEST_F(TStoreValidationTest, StoreVerdictsAreAnsweredWithTheirResults) {
  FakeResponse miscounted = TStore::Confirmed({TStore::Product(kAppId, "gem_100")});
  Json answer;
  answer.FromString(miscounted.body);
  answer.SetAttribute("count", 2);
  miscounted.body = answer.ToString();
  Start();

  EXPECT_EQ(
      ValidateAnswered("missing-product", TStore::Confirmed({TStore::Product(kAppId, "coin_10")})),
      kProductMismatch);
  EXPECT_EQ(ValidateAnswered("miscounted", miscounted), kServiceProviderProtocolError);
  EXPECT_EQ(ValidateAnswered("invalid-9100", TStore::Refused("9100")),
            ValidationResponse::kFailWrongReceipt);
  EXPECT_EQ(ValidateAnswered("store-error", TStore::Refused("9999")),
            kServiceProviderCommunicationError);

  // None of these is retried or recorded.
  EXPECT_EQ(tstore_.RequestCount(TStore::kProduction), 4);
  EXPECT_TRUE(QueryRows(*biller_, kRowQuery).empty());
  ExpectCounts("tstore",
               {{"execution_count", 4}, {"wrong_receipts_count", 1}, {"success_count", 0}});
}

TEST_F(TStoreValidationTest, UnreachableStoreIsRetried) {
  tstore_.Script(TStore::kProduction, "TX-BUSY", {FakeResponse::Raw(503), TStore::Confirmed({})});
  Start();

  EXPECT_EQ(ResultOf(Validate("TX-BUSY", {})), ValidationResponse::kSuccess);
  EXPECT_EQ(tstore_.RequestCount(TStore::kProduction), 2);
  EXPECT_EQ(biller_->CountInLog("Failed to validate OneStore receipt, retry after "), 1);
  ExpectCounts("tstore", {{"execution_count", 2}, {"success_count", 1}});
}

TEST_F(TStoreValidationTest, MalformedReceiptsAreRefusedBeforeTheStoreIsAsked) {
  Start();
  auto receipt_with = [](const char* member, const Json& value) {
    Json receipt;
    receipt.FromString(MakeOneStoreReceipt("TX-1", kAppId, "sign", {"gem_100"}, false));
    receipt.SetAttribute(member, value);
    return receipt.ToString();
  };
  const std::string receipts[] = {
      receipt_with(kTStoreProductsKey, "gem_100"),
      receipt_with(kTStoreProductsKey, Json::Array().PushBack("gem_100").PushBack(5)),
      receipt_with(kTStoreTestKey, "true"),
      receipt_with(kTStoreTxidKey, ""),
      receipt_with(kTStoreSigndataKey, 12),
  };
  for (const std::string& receipt : receipts) {
    EXPECT_EQ(ResultOf(client_->Validate(receipt)), ValidationResponse::kFailWrongReceipt)
        << receipt;
  }
  EXPECT_EQ(server_.RequestCount(), 0);
  EXPECT_EQ(biller_->CountInLog("[OneStore] Wrong attribute type found: attribute='products'"), 1);
  EXPECT_EQ(biller_->CountInLog("[OneStore] Wrong element type found: array_attribute='products'"),
            1);
  EXPECT_EQ(biller_->CountInLog("[OneStore] Missing required fields: fields='txid', 'appid', "
                                "'signdata', 'test'"),
            3);
  const Json block = AwaitAllTimeCounts(*biller_, "tstore", {{"execution_count", 0}});
  EXPECT_TRUE(HasCounts(block, {{"execution_count", 0}})) << block.ToString();
}

}  // namespace
}  // namespace tvx::testing
