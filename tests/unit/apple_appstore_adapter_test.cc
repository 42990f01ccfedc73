// How the Apple adapter reads Apple's answers, quantities and dates.
#include "src/apple_appstore_adapter.h"

#include <gtest/gtest.h>

#include <functional>

#include "framework/billing_store.h"
#include "src/billing_error.h"
#include "tests/support/log_capture.h"

namespace tvx {
namespace {

using Rvr = AppleAppStoreAdapter::ReceiptValidationResponse;

Json ClientReceipt(const std::string& product_id = "gem_100", int64_t quantity = 1) {
  Json receipt;
  receipt.FromString(MakeAppleAppStoreReceipt("MIIT+base64==", product_id, quantity));
  return receipt;
}

Json Purchase(const std::string& product_id, const std::string& quantity = "1") {
  Json purchase = Json::Object();
  purchase.SetString("quantity", quantity);
  purchase.SetString("product_id", product_id);
  purchase.SetString("transaction_id", "1000000501");
  purchase.SetString("original_transaction_id", "1000000500");
  purchase.SetString("purchase_date", "2019-03-05 08:24:36 Etc/GMT");
  purchase.SetString("original_purchase_date", "2019-03-04 01:02:03 Etc/GMT");
  return purchase;
}

std::string Answer(const std::vector<Json>& in_app, int64_t status = 0) {
  Json purchases = Json::Array();
  for (const Json& p : in_app) purchases.PushBack(p);
  Json receipt = Json::Object();
  receipt.SetAttribute("in_app", purchases);
  Json answer = Json::Object();
  answer.SetAttribute("status", status);
  answer.SetAttribute("receipt", receipt);
  return answer.ToString();
}

AppleAppStoreVerdict Check(const std::string& body, int status = 200, bool is_sandbox = false,
                           const Json& receipt = ClientReceipt()) {
  return CheckAppleAppStoreAnswer(is_sandbox, receipt, http::TransportCode::kOk,
                                  http::Response{status, body});
}

void ExpectError(const AppleAppStoreVerdict& verdict, int32_t biller_code) {
  EXPECT_EQ(verdict.error, MakeBillerError(biller_code)) << verdict.error.message();
  EXPECT_FALSE(verdict.ask_sandbox);
  // Every error goes with the empty record.
  EXPECT_TRUE(verdict.response.transaction_id.empty());
  EXPECT_TRUE(verdict.response.decoded_receipt.IsNull());
}

void ExpectVerdict(const AppleAppStoreVerdict& verdict, Rvr::Code code) {
  EXPECT_FALSE(verdict.error) << verdict.error.message();
  EXPECT_FALSE(verdict.ask_sandbox);
  EXPECT_EQ(verdict.response.code, code);
}

// The body of an answer holding one purchase of "gem_100" changed by `edit`.
std::string Edited(const std::function<void(Json*)>& edit) {
  Json purchase = Purchase("gem_100");
  edit(&purchase);
  return Answer({purchase});
}

constexpr int kNoAnswer = -1;    // the status of a request that never got through
constexpr int kAskSandbox = -2;  // the verdict of a production answer for a sandbox receipt

TEST(AppleAppStoreAnswerTest, StatusAndBodyGiveTheErrorOrTheVerdict) {
  const struct {
    int status;
    std::string body;
    bool sandbox;   // asked at the sandbox
    int32_t error;  // 0, kHttpRequestFailure (retried) or a biller code
    int verdict;
  } kRows[] = {
      {kNoAnswer, "", false, kHttpRequestFailure, 0},
      {500, "oops", false, kHttpRequestFailure, 0},
      {599, "", true, kHttpRequestFailure, 0},
      {201, Answer({Purchase("gem_100")}), false, 0, Rvr::kInvalidReceipt},
      {404, "", false, 0, Rvr::kInvalidReceipt},
      {600, "", false, 0, Rvr::kInvalidReceipt},
      {200, Answer({Purchase("gem_100")}), false, 0, Rvr::kSuccess},
      {200, R"({"status": 21007})", false, 0, kAskSandbox},
      {200, R"({"status": 21007})", true, 0, Rvr::kInvalidReceipt},
      {200, R"({"status": 21005})", false, kServiceProviderCommunicationError, 0},
      {200, R"({"status": 21005})", true, kServiceProviderCommunicationError, 0},
      {200, R"({"status": 21002})", false, 0, Rvr::kInvalidReceipt},
      {200, R"({"status": 21010})", false, 0, Rvr::kInvalidReceipt},
      {200, R"({"status": -1})", false, 0, Rvr::kInvalidReceipt},
      {200, Answer({}), false, 0, Rvr::kMissingProductInformation},
      {200, Edited([](Json* p) { p->SetString("cancellation_date", "2019-03-06 08:24:36"); }),
       false, 0, Rvr::kCancelled},
      // A subscription is no purchase, cancelled or not.
      {200, Edited([](Json* p) {
         p->SetString("cancellation_date", "2019-03-06 08:24:36");
         p->SetString("expires_date", "2019-04-05 08:24:36");
       }),
       false, 0, Rvr::kInvalidReceipt},
      {200, Edited([](Json* p) { p->SetString("web_order_line_item_id", "1"); }), false, 0,
       Rvr::kInvalidReceipt},
      {200, "not json", false, kServiceProviderProtocolError, 0},
      {200, "[1, 2]", false, kServiceProviderProtocolError, 0},
      {200, R"({"status": "0"})", false, kServiceProviderProtocolError, 0},
      {200, R"({"status": 0})", false, kServiceProviderProtocolError, 0},
      {200, R"({"status": 0, "receipt": "text"})", false, kServiceProviderProtocolError, 0},
      {200, R"({"status": 0, "receipt": {"in_app": null}})", false, kServiceProviderProtocolError,
       0},
      {200, R"({"status": 0, "receipt": {}})", false, kServiceProviderProtocolError, 0},
      {200, Edited([](Json* p) { p->SetAttribute("product_id", 100); }), false,
       kServiceProviderProtocolError, 0},
      {200, Edited([](Json* p) { p->RemoveAttribute("transaction_id"); }), false,
       kServiceProviderProtocolError, 0},
      {200, Edited([](Json* p) { p->RemoveAttribute("original_transaction_id"); }), false,
       kServiceProviderProtocolError, 0},
      {200, Edited([](Json* p) { p->RemoveAttribute("purchase_date"); }), false,
       kServiceProviderProtocolError, 0},
      {200, Edited([](Json* p) { p->RemoveAttribute("original_purchase_date"); }), false,
       kServiceProviderProtocolError, 0},
      {200, Edited([](Json* p) { p->SetString("purchase_date", "2019-02-29 08:24:36"); }), false,
       kServiceProviderProtocolError, 0},
      {200, Edited([](Json* p) { p->SetString("original_purchase_date", "yesterday"); }), false,
       kServiceProviderProtocolError, 0},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::to_string(row.status) + " " + row.body);
    const AppleAppStoreVerdict verdict = CheckAppleAppStoreAnswer(
        row.sandbox, ClientReceipt(),
        row.status == kNoAnswer ? http::TransportCode::kCouldNotConnect : http::TransportCode::kOk,
        http::Response{row.status == kNoAnswer ? 0 : row.status, row.body});
    EXPECT_EQ(verdict.error.value(), row.error);
    EXPECT_EQ(IsBillerError(verdict.error), row.error > kHttpRequestFailure);
    if (row.error > kHttpRequestFailure) ExpectError(verdict, row.error);
    if (row.error) continue;
    EXPECT_EQ(verdict.ask_sandbox, row.verdict == kAskSandbox);
    if (row.verdict != kAskSandbox) {
      EXPECT_EQ(verdict.response.code, row.verdict);
    }
  }
}

TEST(AppleAppStoreAnswerTest, TheFirstPurchaseOfTheRequestedProductIsChecked) {
  Json second_gem = Purchase("gem_100", "2");
  const auto verdict =
      Check(Answer({Purchase("coin_10"), Purchase("sword"), Purchase("gem_100"), second_gem}));
  ExpectVerdict(verdict, Rvr::kSuccess);
  EXPECT_EQ(verdict.response.product_id, "gem_100");
  EXPECT_FALSE(verdict.response.is_sandbox);
  EXPECT_EQ(verdict.response.decoded_receipt["receipt"]["in_app"].Size(), 4u);

  const auto sandbox = Check(Answer({Purchase("gem_100")}), 200, true);
  EXPECT_TRUE(sandbox.response.is_sandbox);
}

TEST(AppleAppStoreAnswerTest, ProductMustBeInTheReceiptByExactId) {
  ExpectVerdict(Check(Answer({})), Rvr::kMissingProductInformation);

  testing::LogCapture log;
  ExpectError(Check(Answer({Purchase("coin_10"), Purchase("GEM_100")})), kProductMismatch);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "in_app_product_ids=coin_10, GEM_100, http_response="),
            1);
}

TEST(AppleAppStoreAnswerTest, QuantityIsComparedAsANumber) {
  for (const char* same : {"1", "01", "+1", "0000000000000000000001"}) {
    ExpectVerdict(Check(Answer({Purchase("gem_100", same)})), Rvr::kSuccess);
  }
  ExpectError(Check(Answer({Purchase("gem_100", "2")})), kProductMismatch);
  ExpectError(Check(Answer({Purchase("gem_100", "-1")})), kProductMismatch);

  // Apple writes quantities as strings; anything else cannot be vouched for.
  for (const char* unreadable : {"", "one", "1.0", " 1", "1 ", "+-1", "0x1", "+",
                                 "9223372036854775808"}) {
    ExpectError(Check(Answer({Purchase("gem_100", unreadable)})), kServiceProviderProtocolError);
  }
  Json number = Purchase("gem_100");
  number.SetAttribute("quantity", 1);
  ExpectError(Check(Answer({number})), kServiceProviderProtocolError);
}

TEST(AppleAppStoreRequestBodyTest, ReceiptDataCannotAddMembers) {
  Json receipt = ClientReceipt();
  const std::string hostile = R"(abc", "password": "x\)";
  receipt.SetString(kAppleAppStoreReceiptDataKey, hostile);
  Json body;
  ASSERT_TRUE(body.FromString(MakeAppleAppStoreRequestBody(receipt)));
  EXPECT_EQ(body.Size(), 1u);
  EXPECT_EQ(body.GetString("receipt-data"), hostile);
}

TEST(AppleAppStoreDateTest, DateAndTimeAreReadAsUtcAndTheZoneIsCarried) {
  const struct {
    const char* text;
    int64_t epoch_seconds;
    const char* zone;
    const char* date_time;
  } kRows[] = {
      {"2019-03-05 08:24:36 Etc/GMT", 1551774276, "Etc/GMT", "2019-03-05 08:24:36"},
      {"2019-03-05 08:24:36", 1551774276, "GMT", "2019-03-05 08:24:36"},
      // The zone never shifts the instant.
      {"2019-03-05 08:24:36 America/Los_Angeles", 1551774276, "America/Los_Angeles",
       "2019-03-05 08:24:36"},
      {"2020-02-29 23:59:59.999 Etc/GMT", 1583020799, "Etc/GMT", "2020-02-29 23:59:59.999"},
      {"1969-12-31 23:59:59.5 Etc/GMT", 0, "Etc/GMT", "1969-12-31 23:59:59.5"},  // toward zero
      {"1970-01-01 00:00:00 Etc/GMT", 0, "Etc/GMT", "1970-01-01 00:00:00"},
  };
  for (const auto& row : kRows) {
    AppleAppStoreDate date;
    std::string date_time;
    ASSERT_TRUE(ConvertAppleAppStoreDate(row.text, &date, &date_time)) << row.text;
    EXPECT_EQ(date.epoch_seconds, row.epoch_seconds) << row.text;
    EXPECT_EQ(date.zone, row.zone) << row.text;
    EXPECT_EQ(date_time, row.date_time) << row.text;
  }
}

TEST(AppleAppStoreDateTest, UnreadableDatesLeaveTheResultAlone) {
  AppleAppStoreDate date{42, "kept"};
  for (const char* text :
       {"", "2019-03-05", "2019-03-05T08:24:36Z", "2019-13-05 08:24:36", "2019-03-32 08:24:36",
        "2019-03-05 24:00:00", "2019-03-05 08:60:00", "2019-03-05 08:24", "2019-03-05 08:24:36.",
        "2019/03/05 08:24:36", "x2019-03-05 08:24:36", "2019-03-05  08:24:36 Etc/GMT"}) {
    EXPECT_FALSE(ConvertAppleAppStoreDate(text, &date)) << text;
  }
  EXPECT_EQ(date.epoch_seconds, 42);
  EXPECT_EQ(date.zone, "kept");
}

}  // namespace
}  // namespace tvx
