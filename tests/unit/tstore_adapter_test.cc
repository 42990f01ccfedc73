// How the TStore adapter reads the store's confirmations.
#include "src/tstore_adapter.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "tests/support/fake_store_server.h"

namespace tvx {
namespace {

using Rvr = TStoreAdapter::ReceiptValidationResponse;

using TStore = testing::FakeTStore;

Json Item(const std::string& appid, const std::string& id) { return TStore::Product(appid, id); }
std::string Confirmed(const std::vector<Json>& items) { return TStore::Confirmed(items).body; }

std::string Refused(const std::string& detail) {
  return R"({"status": 9, "detail": ")" + detail + R"(", "message": "refused"})";
}

TStoreVerdict Check(const std::string& body, const std::vector<std::string>& requested = {},
                    int status = 200) {
  return CheckTStoreAnswer("TX-1", "OA00012345", requested, http::TransportCode::kOk,
                           http::Response{status, body});
}

// Unreachable stores and 5xx answers: StoreHttpTest (and StoreFlowTest for the retry).
TEST(TStoreAnswerTest, StatusAndBodyGiveTheErrorOrTheVerdict) {
  constexpr int32_t kBad = kServiceProviderProtocolError;
  // A confirmation of one item "gem" whose `member` is `value`, or without it when null.
  const auto with = [](const char* member, const Json& value) {
    return Confirmed({testing::With(Item("OA00012345", "gem"), member, value)});
  };
  const Json gem = Item("OA00012345", "gem");
  // The status and body -> the error (0 or a code), verdict.
  const std::tuple<int, std::string, int32_t, int> kRows[] = {
      {499, "", 0, Rvr::kInvalidReceipt},
      {200, Confirmed({gem}), 0, Rvr::kSuccess},
      // The application is compared without case.
      {200, Confirmed({Item("oa00012345", "gem")}), 0, Rvr::kSuccess},
      {200, Refused("9100"), 0, Rvr::kInvalidReceipt},
      {200, Refused("9113"), 0, Rvr::kInvalidReceipt},
      {200, Refused("9999"), kServiceProviderCommunicationError, 0},
      {200, Refused("1000"), kBad, 0},
      {200, Refused("0000"), kBad, 0},
      {200, Refused("91130"), kBad, 0},
      {200, "<html>", kBad, 0}, {200, "[]", kBad, 0},
      {200, R"({"status": 0, "message": "m"})", kBad, 0},
      {200, R"({"status": "0", "detail": "0000", "message": "m"})", kBad, 0},
      {200, R"({"status": 0, "detail": "0000", "message": "m", "product": []})", kBad, 0},
      {200, R"({"status": 0, "detail": "0000", "message": "m", "count": 0, "product": {}})",
       kBad, 0},
      {200, R"({"status": 0, "detail": "0000", "message": "m", "count": 1, "product": ["gem"]})",
       kBad, 0},
      {200, R"({"status": 0, "detail": "0000", "message": "m", "count": 2, "product": [)" +
                gem.ToString() + "]}", kBad, 0},
      {200, with("appid", Json()), kBad, 0}, {200, with("product_id", Json()), kBad, 0},
      {200, with("log_time", Json()), kBad, 0}, {200, with("tid", Json()), kBad, 0},
      {200, with("bp_info", Json()), kBad, 0}, {200, with("charge_amount", Json("1100")), kBad, 0},
      // A later item of another application spoils an earlier match.
      {200, Confirmed({gem, Item("OA99999999", "coin")}), kProductMismatch, 0},
  };
  for (const auto& [status, body, error, code] : kRows) {
    const TStoreVerdict verdict = Check(body, {}, status);
    SCOPED_TRACE(std::to_string(status) + " " + body);
    EXPECT_EQ(verdict.error, error ? MakeBillerError(error) : boost::system::error_code());
    if (!error) { EXPECT_EQ(verdict.response.code, code); }
  }
}

TEST(TStoreAnswerTest, RequestedProductsMustAllBeConfirmedAndTheTxidIsTheRequests) {
  Json answer;
  answer.FromString(Confirmed({Item("OA00012345", "Gem_100"), Item("OA00012345", "bonus")}));
  answer.SetString("txid", "someone-else");
  const auto matched = Check(answer.ToString(), {"GEM_100"});
  EXPECT_FALSE(matched.error);
  ASSERT_EQ(matched.response.products.size(), 2u);
  const Rvr& response = matched.response;
  EXPECT_EQ(std::tuple(response.products[0].product_id + response.products[1].product_id,
                       response.decoded_receipt.GetString("txid"),
                       response.decoded_receipt["product"].Size()),
            std::tuple("Gem_100bonus", "TX-1", 2u));
  EXPECT_EQ(Check(answer.ToString(), {"gem_100", "sword"}).error,
            MakeBillerError(kProductMismatch));
}

}  // namespace
}  // namespace tvx
