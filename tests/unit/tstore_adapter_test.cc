// How the TStore adapter reads the store's confirmations.
#include "src/tstore_adapter.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "tests/support/log_capture.h"

namespace tvx {
namespace {

using Rvr = TStoreAdapter::ReceiptValidationResponse;

Json Item(const std::string& appid, const std::string& product_id) {
  Json item = Json::Object();
  item.SetString("log_time", "20240101120000");
  item.SetString("appid", appid);
  item.SetString("product_id", product_id);
  item.SetAttribute("charge_amount", 1100);
  item.SetString("tid", "tid-" + product_id);
  item.SetString("bp_info", "bp");
  return item;
}

Json Confirmed(const std::vector<Json>& items, int64_t count = -1) {
  Json products = Json::Array();
  for (const Json& item : items) products.PushBack(item);
  Json answer = Json::Object();
  answer.SetAttribute("status", 0);
  answer.SetString("detail", "0000");
  answer.SetString("message", "success");
  answer.SetAttribute("count", count < 0 ? static_cast<int64_t>(items.size()) : count);
  answer.SetAttribute("product", products);
  return answer;
}

std::string Refused(const std::string& detail) {
  Json answer = Json::Object();
  answer.SetAttribute("status", 9);
  answer.SetString("detail", detail);
  answer.SetString("message", "refused");
  return answer.ToString();
}

TStoreVerdict Check(const std::string& body, const std::vector<std::string>& requested = {},
                    int status = 200) {
  return CheckTStoreAnswer("TX-1", "OA00012345", requested, http::TransportCode::kOk,
                           http::Response{status, body});
}

void ExpectError(const TStoreVerdict& verdict, int32_t biller_code) {
  EXPECT_EQ(verdict.error, MakeBillerError(biller_code)) << verdict.error.message();
}

TEST(TStoreAnswerTest, TransportFailuresAndServerErrorsAreRetryable) {
  const auto timed_out = CheckTStoreAnswer("TX-1", "A", {}, http::TransportCode::kTimedOut, {});
  EXPECT_EQ(timed_out.error, boost::system::error_code(MakeCommonError(kHttpRequestFailure)));
  EXPECT_EQ(Check("", {}, 502).error.value(), kHttpRequestFailure);
  EXPECT_FALSE(IsBillerError(Check("", {}, 599).error));

  for (int status : {400, 404, 499}) {
    const auto verdict = Check("", {}, status);
    EXPECT_FALSE(verdict.error);
    EXPECT_EQ(verdict.response.code, Rvr::kInvalidReceipt);
  }
}

TEST(TStoreAnswerTest, RefusalsAreJudgedByTheirDetail) {
  ExpectError(Check(Refused("1000")), kServiceProviderProtocolError);
  for (const char* invalid : {"9100", "9113"}) {
    const auto verdict = Check(Refused(invalid));
    EXPECT_FALSE(verdict.error);
    EXPECT_EQ(verdict.response.code, Rvr::kInvalidReceipt);
  }
  ExpectError(Check(Refused("9999")), kServiceProviderCommunicationError);
  for (const char* unexpected : {"9101", "0000", "", "91130"}) {
    ExpectError(Check(Refused(unexpected)), kServiceProviderProtocolError);
  }
}

TEST(TStoreAnswerTest, MalformedAnswersAreProtocolErrors) {
  ExpectError(Check("<html>"), kServiceProviderProtocolError);
  ExpectError(Check("[]"), kServiceProviderProtocolError);
  ExpectError(Check(R"({"status": 0, "message": "m"})"), kServiceProviderProtocolError);
  ExpectError(Check(R"({"status": "0", "detail": "0000", "message": "m"})"),
              kServiceProviderProtocolError);
  ExpectError(Check(R"({"status": 0, "detail": 0, "message": "m"})"),
              kServiceProviderProtocolError);

  Json no_count = Confirmed({});
  no_count.RemoveAttribute("count");
  ExpectError(Check(no_count.ToString()), kServiceProviderProtocolError);
  Json product_object = Confirmed({});
  product_object.SetAttribute("product", Json::Object());
  ExpectError(Check(product_object.ToString()), kServiceProviderProtocolError);

  Json not_an_object = Confirmed({});
  not_an_object.SetAttribute("product", Json::Array().PushBack("gem"));
  not_an_object.SetAttribute("count", 1);
  ExpectError(Check(not_an_object.ToString()), kServiceProviderProtocolError);

  for (const char* member : {"appid", "product_id", "log_time", "charge_amount", "tid", "bp_info"}) {
    Json item = Item("OA00012345", "gem");
    item.RemoveAttribute(member);
    ExpectError(Check(Confirmed({item}).ToString()), kServiceProviderProtocolError);
  }
  Json string_amount = Item("OA00012345", "gem");
  string_amount.SetString("charge_amount", "1100");
  ExpectError(Check(Confirmed({string_amount}).ToString()), kServiceProviderProtocolError);
}

TEST(TStoreAnswerTest, CountMustMatchTheItemsBeforeAnyIsRead) {
  testing::LogCapture log;
  // The third item would be malformed; the count check comes first.
  const std::vector<Json> items = {Item("OA00012345", "a"), Item("OA00012345", "b"), Json(7)};
  ExpectError(Check(Confirmed(items, 2).ToString()), kServiceProviderProtocolError);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "doesn't match the size of 'product' array"), 1);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "Wrong element type found"), 0);
}

TEST(TStoreAnswerTest, EveryItemMustBelongToTheApplication) {
  const auto verdict = Check(Confirmed({Item("oa00012345", "gem")}).ToString(), {"gem"});
  EXPECT_FALSE(verdict.error);
  EXPECT_EQ(verdict.response.code, Rvr::kSuccess);

  // A later item of another application spoils an earlier match.
  ExpectError(Check(Confirmed({Item("OA00012345", "gem"), Item("OA99999999", "coin")}).ToString()),
              kProductMismatch);
}

TEST(TStoreAnswerTest, RequestedProductsMustAllBeConfirmed) {
  const Json answer = Confirmed({Item("OA00012345", "Gem_100"), Item("OA00012345", "bonus")});

  const auto matched = Check(answer.ToString(), {"GEM_100"});
  EXPECT_FALSE(matched.error);
  ASSERT_EQ(matched.response.products.size(), 2u);
  EXPECT_EQ(matched.response.products[0].product_id, "Gem_100");
  EXPECT_EQ(matched.response.products[0].log_time, "20240101120000");
  EXPECT_EQ(matched.response.products[0].charge_amount, 1100);
  EXPECT_EQ(matched.response.products[0].tid, "tid-Gem_100");
  EXPECT_EQ(matched.response.products[0].bp_info, "bp");
  EXPECT_EQ(matched.response.products[1].product_id, "bonus");

  testing::LogCapture log;
  ExpectError(Check(answer.ToString(), {"gem_100", "sword", "shield"}), kProductMismatch);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "product_id=sword, body="), 1);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "product_id=shield"), 0);
}

TEST(TStoreAnswerTest, DecodedReceiptCarriesTheRequestedTxid) {
  const auto empty = Check(Confirmed({}).ToString());
  EXPECT_FALSE(empty.error);
  EXPECT_TRUE(empty.response.products.empty());
  EXPECT_EQ(empty.response.decoded_receipt.GetString("txid"), "TX-1");

  Json answer = Confirmed({Item("OA00012345", "gem")});
  answer.SetString("txid", "someone-else");
  const auto verdict = Check(answer.ToString());
  EXPECT_EQ(verdict.response.decoded_receipt.GetString("txid"), "TX-1");
  EXPECT_EQ(verdict.response.decoded_receipt["product"].Size(), 1u);
}

TEST(TStoreRequestBodyTest, ReceiptTextsCannotAddMembers) {
  const std::string txid = R"(TX", "appid": "other)";
  const std::string signdata = "line\nwith \\ and \"quotes\"";
  Json body;
  ASSERT_TRUE(body.FromString(MakeTStoreRequestBody(txid, "OA00012345", signdata)));
  EXPECT_EQ(body.GetAttributeNames(), (std::vector<std::string>{"txid", "appid", "signdata"}));
  EXPECT_EQ(body.GetString("txid"), txid);
  EXPECT_EQ(body.GetString("appid"), "OA00012345");
  EXPECT_EQ(body.GetString("signdata"), signdata);
}

}  // namespace
}  // namespace tvx
