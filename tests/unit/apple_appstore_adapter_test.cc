// How the Apple adapter reads Apple's answers, quantities and dates.
#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "src/apple_appstore_adapter.h"
#include "src/billing_error.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

using Rvr = AppleAppStoreAdapter::ReceiptValidationResponse;

Json Purchase(const std::string& product_id, const std::string& quantity = "1") {
  return FakeAppleStore::Purchase(product_id, quantity, "1000000501");
}

std::string Answer(const std::vector<Json>& in_app) {
  return FakeAppleStore::Verified(in_app).body;
}

AppleAppStoreVerdict Check(const std::string& body, int status = 200, bool is_sandbox = false) {
  Json receipt;
  receipt.FromString(MakeAppleAppStoreReceipt("MIIT+base64==", "gem_100", 1));
  return CheckAppleAppStoreAnswer(is_sandbox, receipt, http::TransportCode::kOk,
                                  http::Response{status, body});
}

constexpr int kAskSandbox = -2;  // the verdict of a production answer for a sandbox receipt

// Unreachable stores and 5xx answers: StoreHttpTest (and StoreFlowTest for the retry).
TEST(AppleAppStoreAnswerTest, StatusAndBodyGiveTheErrorOrTheVerdict) {
  constexpr int32_t kBad = kServiceProviderProtocolError, kMismatch = kProductMismatch;
  // An answer holding one purchase of "gem_100" whose `member` is `value`.
  const auto with = [](const char* member, const Json& value) {
    return Answer({With(Purchase("gem_100"), member, value)});
  };
  const Json cancelled =
      With(Purchase("gem_100"), "cancellation_date", Json("2019-03-06 08:24:36"));
  const auto quantity = [](const char* value) { return Answer({Purchase("gem_100", value)}); };
  const std::string one = Answer({Purchase("gem_100")});
  const struct {
    int status;
    std::string body;
    int32_t error;  // 0 or a biller code
    int verdict;
    bool sandbox = false;  // asked at the sandbox
  } kRows[] = {
      {201, one, 0, Rvr::kInvalidReceipt}, {200, one, 0, Rvr::kSuccess},
      {200, R"({"status": 21007})", 0, kAskSandbox},
      {200, R"({"status": 21007})", 0, Rvr::kInvalidReceipt, true},
      {200, R"({"status": 21005})", kServiceProviderCommunicationError, 0},
      {200, R"({"status": -1})", 0, Rvr::kInvalidReceipt},
      {200, Answer({cancelled}), 0, Rvr::kCancelled},
      // A subscription is no purchase, cancelled or not.
      {200, Answer({With(cancelled, "expires_date", Json("2019-04-05 08:24:36"))}), 0,
       Rvr::kInvalidReceipt},
      {200, with("web_order_line_item_id", Json("1")), 0, Rvr::kInvalidReceipt},
      {200, "not json", kBad, 0}, {200, R"({"status": "0"})", kBad, 0},
      {200, R"({"status": 0, "receipt": "text"})", kBad, 0},
      {200, R"({"status": 0, "receipt": {"in_app": null}})", kBad, 0},
      {200, with("product_id", Json(100)), kBad, 0},
      {200, with("transaction_id", Json()), kBad, 0}, {200, with("purchase_date", Json()), kBad, 0},
      {200, with("original_transaction_id", Json()), kBad, 0},
      {200, with("original_purchase_date", Json()), kBad, 0},
      {200, with("purchase_date", Json("2019-02-29 08:24:36")), kBad, 0},
      // The first purchase of the requested product is checked, matched exactly.
      {200, Answer({Purchase("coin_10"), Purchase("gem_100"), Purchase("gem_100", "2")}), 0,
       Rvr::kSuccess},
      {200, Answer({Purchase("coin_10"), Purchase("GEM_100")}), kMismatch, 0},
      // Quantities are compared as numbers; Apple writes them as strings.
      {200, quantity("01"), 0, Rvr::kSuccess}, {200, quantity("+1"), 0, Rvr::kSuccess},
      {200, quantity("2"), kMismatch, 0}, {200, quantity("-1"), kMismatch, 0},
      {200, quantity("1.0"), kBad, 0}, {200, quantity(" 1"), kBad, 0},
      {200, quantity("9223372036854775808"), kBad, 0},
      {200, with("quantity", Json(1)), kBad, 0},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::to_string(row.status) + " " + row.body);
    const AppleAppStoreVerdict verdict = Check(row.body, row.status, row.sandbox);
    EXPECT_EQ(verdict.error, row.error ? MakeBillerError(row.error) : boost::system::error_code());
    EXPECT_EQ(verdict.ask_sandbox, row.verdict == kAskSandbox);
    const Rvr& record = verdict.response;
    if (row.error) {  // every error goes with the empty record
      EXPECT_TRUE(record.transaction_id.empty() && record.decoded_receipt.IsNull());
    } else if (row.verdict != kAskSandbox) {
      EXPECT_EQ(record.code, row.verdict);
      EXPECT_FALSE(row.verdict == Rvr::kSuccess && record.is_sandbox);
    }
  }
  const Rvr record = Check(Answer({Purchase("coin_10"), Purchase("gem_100")}), 200, true).response;
  EXPECT_EQ(std::tuple(record.product_id, record.is_sandbox,
                       record.decoded_receipt["receipt"]["in_app"].Size()),
            std::tuple("gem_100", true, 2u));
}

TEST(AppleAppStoreDateTest, DateAndTimeAreReadAsUtcAndTheZoneIsCarried) {
  // The text -> the instant, zone and date-time read.
  const std::pair<const char*, const char*> kRows[] = {
      {"2019-03-05 08:24:36", "1551774276 GMT 2019-03-05 08:24:36"},
      // The zone never shifts the instant.
      {"2019-03-05 08:24:36 America/Los_Angeles",
       "1551774276 America/Los_Angeles 2019-03-05 08:24:36"},
      {"2020-02-29 23:59:59.999 Etc/GMT", "1583020799 Etc/GMT 2020-02-29 23:59:59.999"},
      {"1969-12-31 23:59:59.5 Etc/GMT", "0 Etc/GMT 1969-12-31 23:59:59.5"},  // toward zero
      // Unreadable dates leave the result alone.
      {"2019-03-05", "refused"}, {"2019-03-05T08:24:36Z", "refused"},
      {"2019-13-05 08:24:36", "refused"},
      {"2019-03-05 24:00:00", "refused"}, {"2019-03-05 08:24:36.", "refused"},
      {"x2019-03-05 08:24:36", "refused"}, {"2019-03-05  08:24:36 Etc/GMT", "refused"},
  };
  for (const auto& [text, expected] : kRows) {
    AppleAppStoreDate date{42, "kept"};
    std::string date_time = "kept";
    const bool read = ConvertAppleAppStoreDate(text, &date, &date_time);
    EXPECT_EQ(std::to_string(date.epoch_seconds) + " " + date.zone + " " + date_time,
              read ? expected : std::string("42 kept kept")) << text;
    EXPECT_EQ(read, std::string(expected) != "refused") << text;
  }
}

}  // namespace
}  // namespace tvx::testing
