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

http::Response Answer(int status, const std::string& body) { return {status, body}; }

Json GooglePurchase() {
  Json purchase;
  EXPECT_TRUE(purchase.FromString(
      R"({"kind":"androidpublisher#productPurchase","purchaseTimeMillis":"1700000000123",)"
      R"("purchaseState":0,"consumptionState":0,"orderId":"GPA.1","purchaseType":1,)"
      R"("acknowledgementState":1})"));
  return purchase;
}

Google ReadGoogle(const Json& body, boost::system::error_code* ec) {
  Google out;
  *ec = GooglePlayAdapter::ReadReceiptValidationAnswer(http::TransportCode::kOk,
                                                       Answer(200, body.ToString()), &out);
  return out;
}

TEST(GooglePurchaseAnswerTest, ReadsAPurchase) {
  boost::system::error_code ec;
  const Google read = ReadGoogle(GooglePurchase(), &ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(read.code, Google::kSuccess);
  EXPECT_EQ(read.kind, "androidpublisher#productPurchase");
  EXPECT_EQ(read.purchase_time_millis, "1700000000123");
  EXPECT_EQ(read.purchase_state, 0);
  EXPECT_EQ(read.not_consumed, 1);  // consumptionState 0: not consumed yet
  EXPECT_EQ(read.order_id, "GPA.1");
  EXPECT_EQ(read.purchase_type, 1);
  EXPECT_EQ(read.acknowledgement_state, 1);
  EXPECT_EQ(read.receipt.GetString("orderId"), "GPA.1");
}

TEST(GooglePurchaseAnswerTest, OptionalFieldsMayBeMissing) {
  Json purchase = GooglePurchase();
  Json trimmed = Json::Object();
  for (const auto& name : purchase.GetAttributeNames()) {
    if (name != "purchaseType" && name != "orderId" && name != "kind" &&
        name != "purchaseTimeMillis") {
      trimmed.SetAttribute(name, purchase.GetAttribute(name));
    }
  }
  trimmed.SetAttribute("consumptionState", Json(static_cast<int64_t>(1)));
  boost::system::error_code ec;
  const Google read = ReadGoogle(trimmed, &ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(read.purchase_type, -1);
  EXPECT_EQ(read.order_id, "");
  EXPECT_EQ(read.purchase_time_millis, "");
  EXPECT_EQ(read.not_consumed, 0);
}

TEST(GooglePurchaseAnswerTest, MalformedAnswersAreProtocolErrors) {
  const std::vector<std::pair<std::string, Json>> broken = {
      {"acknowledgementState", Json()},               // removed below
      {"acknowledgementState", Json("1")},            // text, not a number
      {"purchaseState", Json(static_cast<int64_t>(3))},
      {"consumptionState", Json(static_cast<int64_t>(2))},
      {"purchaseType", Json(static_cast<int64_t>(3))},
  };
  for (size_t i = 0; i < broken.size(); ++i) {
    Json purchase = GooglePurchase();
    Json body = Json::Object();
    for (const auto& name : purchase.GetAttributeNames()) {
      if (name != broken[i].first) body.SetAttribute(name, purchase.GetAttribute(name));
    }
    if (i > 0) body.SetAttribute(broken[i].first, broken[i].second);
    boost::system::error_code ec;
    const Google read = ReadGoogle(body, &ec);
    EXPECT_EQ(ec, MakeBillerError(kServiceProviderProtocolError)) << body.ToString();
    EXPECT_EQ(read.order_id, "") << "a failed read leaves the answer default";
  }
  Google out;
  EXPECT_EQ(GooglePlayAdapter::ReadReceiptValidationAnswer(http::TransportCode::kOk,
                                                           Answer(200, "[1]"), &out),
            MakeBillerError(kServiceProviderProtocolError));
}

TEST(GooglePurchaseAnswerTest, StatusDecidesBetweenRetryAndInvalidReceipt) {
  Google out;
  EXPECT_EQ(GooglePlayAdapter::ReadReceiptValidationAnswer(http::TransportCode::kCouldNotConnect,
                                                           Answer(0, ""), &out),
            MakeCommonError(kHttpRequestFailure));
  EXPECT_EQ(GooglePlayAdapter::ReadReceiptValidationAnswer(http::TransportCode::kOk,
                                                           Answer(503, "busy"), &out),
            MakeCommonError(kHttpRequestFailure));
  EXPECT_FALSE(GooglePlayAdapter::ReadReceiptValidationAnswer(
      http::TransportCode::kOk, Answer(404, "{}"), &out));
  EXPECT_EQ(out.code, Google::kFailure);
}

TEST(GooglePurchaseAnswerTest, ReceiptValuesCannotReshapeTheAddress) {
  EXPECT_EQ(GooglePlayAdapter::PurchaseUrl("http://api", "com.game", "gem/1", "a?b&c", "t+k"),
            "http://api/androidpublisher/v3/applications/com.game/purchases/products/gem%2F1/"
            "tokens/a%3Fb%26c?access_token=t%2Bk");
  EXPECT_EQ(OneStoreAdapter::PurchaseUrl("http://os", "p/1", "com.game", "../x"),
            "http://os/v2/purchase/details-by-productid/p%2F1/com.game/..%2Fx");
}

OneStore ReadOneStore(int status, const std::string& body, boost::system::error_code* ec) {
  OneStore out;
  *ec = OneStoreAdapter::ReadReceiptValidationAnswer(http::TransportCode::kOk,
                                                     Answer(status, body), &out);
  return out;
}

TEST(OneStorePurchaseAnswerTest, ReadsPurchasesAndRefusals) {
  boost::system::error_code ec;
  OneStore read = ReadOneStore(
      200, R"({"consumptionState":1,"purchaseState":1,"purchaseTime":1700000000123})", &ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(read.code, OneStore::kSuccess);
  EXPECT_EQ(read.consumption_state, 1);
  EXPECT_EQ(read.purchase_state, 1);
  EXPECT_EQ(read.purchase_time, 1700000000123);

  // Without a usable purchase time the purchase still counts.
  read = ReadOneStore(200, R"({"consumptionState":0,"purchaseState":0,"purchaseTime":"x"})", &ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(read.purchase_time, 0);

  // An "error" object wins over everything else in the answer.
  read = ReadOneStore(200, R"({"error":{"code":"x"},"consumptionState":0,"purchaseState":0})",
                      &ec);
  EXPECT_FALSE(ec);
  EXPECT_EQ(read.code, OneStore::kFailure);
  read = ReadOneStore(401, "{}", &ec);
  EXPECT_FALSE(ec);
  EXPECT_EQ(read.code, OneStore::kFailure);
}

TEST(OneStorePurchaseAnswerTest, MalformedAnswersAndUnavailableStore) {
  boost::system::error_code ec;
  // Unlike Google, OneStore has no pending state.
  ReadOneStore(200, R"({"consumptionState":0,"purchaseState":2})", &ec);
  EXPECT_EQ(ec, MakeBillerError(kServiceProviderProtocolError));
  ReadOneStore(200, R"({"purchaseState":0})", &ec);
  EXPECT_EQ(ec, MakeBillerError(kServiceProviderProtocolError));
  ReadOneStore(200, "not json", &ec);
  EXPECT_EQ(ec, MakeBillerError(kServiceProviderProtocolError));
  ReadOneStore(500, "", &ec);
  EXPECT_EQ(ec, MakeCommonError(kHttpRequestFailure));
}

}  // namespace
}  // namespace tvx
