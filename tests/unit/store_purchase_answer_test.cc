// How the Google Play and OneStore adapters read a purchase query's answer:
// which answers are retried transport failures, invalid receipts, malformed
// answers, or purchases, and the address the query goes to.
#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "src/google_play_adapter.h"
#include "src/one_store_adapter.h"

namespace tvx {
namespace {

using Google = GooglePlayAdapter::ReceiptValidationResponse;
using OneStore = OneStoreAdapter::ReceiptValidationResponse;

const auto kRetry = MakeCommonError(kHttpRequestFailure);
const auto kProtocol = MakeBillerError(kServiceProviderProtocolError);
const boost::system::error_code kRead;

struct AnswerCase {
  int status;  // 0: no connection
  std::string body;
  boost::system::error_code error;
  int code = 0;  // the record's code when read
};

template <typename Adapter, typename Record>
void ExpectOutcomes(const std::vector<AnswerCase>& cases) {
  for (const auto& c : cases) {
    Record out;
    const auto transport =
        c.status == 0 ? http::TransportCode::kCouldNotConnect : http::TransportCode::kOk;
    EXPECT_EQ(Adapter::ReadReceiptValidationAnswer(transport, {c.status, c.body}, &out), c.error)
        << c.status << " " << c.body;
    EXPECT_EQ(out.code, c.code) << c.body;
  }
}

// A Google purchase with `replace` members changed ("-" removes one).
std::string GooglePurchase(const std::map<std::string, Json>& replace = {}) {
  Json purchase;
  purchase.FromString(
      R"({"kind":"androidpublisher#productPurchase","purchaseTimeMillis":"1700000000123",)"
      R"("purchaseState":0,"consumptionState":0,"orderId":"GPA.1","purchaseType":1,)"
      R"("acknowledgementState":1})");
  Json out = Json::Object();
  for (const auto& name : purchase.GetAttributeNames()) {
    auto it = replace.find(name);
    if (it == replace.end()) {
      out.SetAttribute(name, purchase.GetAttribute(name));
    } else if (!(it->second.IsString() && it->second.GetString() == "-")) {
      out.SetAttribute(name, it->second);
    }
  }
  return out.ToString();
}

TEST(GooglePurchaseAnswerTest, StatusAndBodyDecideTheOutcome) {
  ExpectOutcomes<GooglePlayAdapter, Google>({
      {200, GooglePurchase(), kRead},
      {200, GooglePurchase({{"purchaseType", "-"}, {"orderId", "-"}, {"kind", "-"}}), kRead},
      {0, "", kRetry},
      {503, "busy", kRetry},
      {404, "{}", kRead, Google::kFailure},
      {200, "[1]", kProtocol},
      {200, GooglePurchase({{"acknowledgementState", "-"}}), kProtocol},
      {200, GooglePurchase({{"acknowledgementState", "1"}}), kProtocol},
      {200, GooglePurchase({{"purchaseState", 3}}), kProtocol},
      {200, GooglePurchase({{"consumptionState", 2}}), kProtocol},
      {200, GooglePurchase({{"purchaseType", 3}}), kProtocol},
  });
}

TEST(GooglePurchaseAnswerTest, ReadsAPurchase) {
  Google read;
  ASSERT_FALSE(GooglePlayAdapter::ReadReceiptValidationAnswer(
      http::TransportCode::kOk, {200, GooglePurchase({{"consumptionState", 1}})}, &read));
  EXPECT_EQ(read.purchase_time_millis, "1700000000123");
  EXPECT_EQ(read.not_consumed, 0);  // consumptionState 1: consumed
  EXPECT_EQ(read.order_id, "GPA.1");
  EXPECT_EQ(read.purchase_type, 1);
  EXPECT_EQ(read.acknowledgement_state, 1);
  EXPECT_EQ(read.receipt.GetString("orderId"), "GPA.1");
  ASSERT_FALSE(GooglePlayAdapter::ReadReceiptValidationAnswer(
      http::TransportCode::kOk, {200, GooglePurchase({{"purchaseType", "-"}})}, &read));
  EXPECT_EQ(read.purchase_type, -1);
}

TEST(OneStorePurchaseAnswerTest, StatusAndBodyDecideTheOutcome) {
  ExpectOutcomes<OneStoreAdapter, OneStore>({
      {200, R"({"consumptionState":1,"purchaseState":1,"purchaseTime":1700000000123})", kRead},
      // Without a usable purchase time the purchase still counts.
      {200, R"({"consumptionState":0,"purchaseState":0,"purchaseTime":"x"})", kRead},
      // An "error" object wins over everything else in the answer.
      {200, R"({"error":{"code":"x"},"consumptionState":0,"purchaseState":0})", kRead,
       OneStore::kFailure},
      {401, "{}", kRead, OneStore::kFailure},
      // Unlike Google, OneStore has no pending state.
      {200, R"({"consumptionState":0,"purchaseState":2})", kProtocol},
      {200, R"({"purchaseState":0})", kProtocol},
      {200, "not json", kProtocol},
      {500, "", kRetry},
      {0, "", kRetry},
  });
  OneStore read;
  ASSERT_FALSE(OneStoreAdapter::ReadReceiptValidationAnswer(
      http::TransportCode::kOk,
      {200, R"({"consumptionState":1,"purchaseState":1,"purchaseTime":7})"}, &read));
  EXPECT_EQ(read.consumption_state, 1);
  EXPECT_EQ(read.purchase_state, 1);
  EXPECT_EQ(read.purchase_time, 7);
}

TEST(StorePurchaseAddressTest, ReceiptValuesCannotReshapeTheAddress) {
  EXPECT_EQ(GooglePlayAdapter::PurchaseUrl("http://api", "com.game", "gem/1", "a?b&c", "t+k"),
            "http://api/androidpublisher/v3/applications/com.game/purchases/"
            "products/gem%2F1/"
            "tokens/a%3Fb%26c?access_token=t%2Bk");
  EXPECT_EQ(OneStoreAdapter::PurchaseUrl("http://os", "p/1", "com.game", "../x"),
            "http://os/v2/purchase/details-by-productid/p%2F1/com.game/..%2Fx");
}

}  // namespace
}  // namespace tvx
