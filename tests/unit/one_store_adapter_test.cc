// How the OneStore adapter reads OneStore's answer to a purchase query.
// Unreachable stores and 5xx answers: StoreHttpTest.
#include "src/one_store_adapter.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"

namespace tvx {
namespace {

TEST(OneStoreAnswerTest, StatusAndBodyGiveTheErrorOrTheVerdict) {
  using Rvr = OneStoreAdapter::ReceiptValidationResponse;
  constexpr int32_t kBad = kServiceProviderProtocolError;
  // The status and body -> the error (0 or a code), verdict, purchase state and time.
  const std::tuple<int, const char*, int32_t, int, int32_t, int64_t> kRows[] = {
      {401, "{}", 0, Rvr::kTokenRejected, 0, 0},
      {200, R"({"consumptionState":1,"purchaseState":1,"purchaseTime":1700000000123})", 0,
       Rvr::kSuccess, 1, 1700000000123},
      // Without a usable purchase time the purchase still counts.
      {200, R"({"consumptionState":0,"purchaseState":0,"purchaseTime":"x"})", 0, Rvr::kSuccess, 0,
       0},
      // An "error" object is OneStore's word against the receipt, whatever else is there.
      {200, R"({"error":{"code":"x"},"consumptionState":0,"purchaseState":0})", 0, Rvr::kFailure, 0,
       0},
      // Unlike Google, OneStore has no pending state.
      {200, R"({"consumptionState":0,"purchaseState":2})", kBad, 0, 0, 0},
      {200, R"({"purchaseState":0})", kBad, 0, 0, 0},
      {200, R"({"consumptionState":"0","purchaseState":0})", kBad, 0, 0, 0},
      {200, "not json", kBad, 0, 0, 0}, {200, "[]", kBad, 0, 0, 0},
  };
  for (const auto& [status, body, error, verdict, purchase_state, purchase_time] : kRows) {
    Rvr read;
    const boost::system::error_code ec = OneStoreAdapter::ReadReceiptValidationAnswer(
        http::TransportCode::kOk, http::Response{status, body}, &read);
    EXPECT_EQ(ec, error ? MakeBillerError(error) : boost::system::error_code()) << body;
    if (error) continue;
    EXPECT_EQ(std::tie(read.code, read.purchase_state, read.purchase_time),
              std::tie(verdict, purchase_state, purchase_time)) << body;
  }
}

}  // namespace
}  // namespace tvx
