// How the TStore adapter reads the store's confirmations.
#include "src/tstore_adapter.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"

namespace tvx {
namespace {

using Rvr = TStoreAdapter::ReceiptValidationResponse;

Json Item(const std::string& appid, const std::string& product_id) {
  Json item;
  item.FromString(R"({"log_time": "20240101120000", "charge_amount": 1100, "bp_info": "bp"})");
  item.SetString("appid", appid);
  item.SetString("product_id", product_id);
  item.SetString("tid", "tid-" + product_id);
  return item;
}

Json Confirmed(const std::vector<Json>& items, int64_t count = -1) {
  Json answer;
  answer.FromString(R"({"status": 0, "detail": "0000", "message": "success"})");
  Json products = Json::Array();
  for (const Json& item : items) products.PushBack(item);
  answer.SetAttribute("product", products);
  answer.SetAttribute("count", count < 0 ? static_cast<int64_t>(items.size()) : count);
  return answer;
}

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
    Json item = Item("OA00012345", "gem");
    if (value.IsNull()) item.RemoveAttribute(member);
    if (!value.IsNull()) item.SetAttribute(member, value);
    return Confirmed({item}).ToString();
  };
  const Json gem = Item("OA00012345", "gem");
  const std::tuple<int, std::string, int32_t, int> kRows[] = {  // status, body -> error (0 or a code), verdict
      {400, "", 0, Rvr::kInvalidReceipt}, {499, "", 0, Rvr::kInvalidReceipt},
      {200, Confirmed({gem}).ToString(), 0, Rvr::kSuccess},
      // The application is compared without case.
      {200, Confirmed({Item("oa00012345", "gem")}).ToString(), 0, Rvr::kSuccess},
      {200, Refused("9100"), 0, Rvr::kInvalidReceipt}, {200, Refused("9113"), 0, Rvr::kInvalidReceipt},
      {200, Refused("9999"), kServiceProviderCommunicationError, 0},
      {200, Refused("1000"), kBad, 0}, {200, Refused("0000"), kBad, 0}, {200, Refused("91130"), kBad, 0},
      {200, "<html>", kBad, 0}, {200, "[]", kBad, 0},
      {200, R"({"status": 0, "message": "m"})", kBad, 0},
      {200, R"({"status": "0", "detail": "0000", "message": "m"})", kBad, 0},
      {200, R"({"status": 0, "detail": "0000", "message": "m", "product": []})", kBad, 0},
      {200, R"({"status": 0, "detail": "0000", "message": "m", "count": 0, "product": {}})", kBad, 0},
      {200, R"({"status": 0, "detail": "0000", "message": "m", "count": 1, "product": ["gem"]})",
       kBad, 0},
      {200, Confirmed({gem, gem}, 1).ToString(), kBad, 0},
      {200, with("appid", Json()), kBad, 0}, {200, with("product_id", Json()), kBad, 0},
      {200, with("log_time", Json()), kBad, 0}, {200, with("tid", Json()), kBad, 0},
      {200, with("bp_info", Json()), kBad, 0}, {200, with("charge_amount", Json("1100")), kBad, 0},
      // A later item of another application spoils an earlier match.
      {200, Confirmed({gem, Item("OA99999999", "coin")}).ToString(), kProductMismatch, 0},
  };
  for (const auto& [status, body, error, code] : kRows) {
    const TStoreVerdict verdict = Check(body, {}, status);
    EXPECT_EQ(verdict.error, error ? MakeBillerError(error) : boost::system::error_code()) << status << " " << body;
    if (!error) { EXPECT_EQ(verdict.response.code, code) << status << " " << body; }
  }
}

TEST(TStoreAnswerTest, RequestedProductsMustAllBeConfirmedAndTheTxidIsTheRequests) {
  Json answer = Confirmed({Item("OA00012345", "Gem_100"), Item("OA00012345", "bonus")});
  answer.SetString("txid", "someone-else");
  const auto matched = Check(answer.ToString(), {"GEM_100"});
  EXPECT_FALSE(matched.error);
  ASSERT_EQ(matched.response.products.size(), 2u);
  EXPECT_EQ(std::tuple(matched.response.products[0].product_id + matched.response.products[1].product_id,
                       matched.response.decoded_receipt.GetString("txid"),
                       matched.response.decoded_receipt["product"].Size()),
            std::tuple("Gem_100bonus", "TX-1", 2u));
  EXPECT_EQ(Check(answer.ToString(), {"gem_100", "sword"}).error, MakeBillerError(kProductMismatch));
}

}  // namespace
}  // namespace tvx
