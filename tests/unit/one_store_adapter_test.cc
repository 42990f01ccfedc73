// How the OneStore adapter reads OneStore's answer to a purchase query.
#include "src/one_store_adapter.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"

namespace tvx {
namespace {

using Rvr = OneStoreAdapter::ReceiptValidationResponse;

struct Row {
  int status;
  const char* body;
  int32_t error;  // 0 or a biller code
  int verdict;
  int32_t purchase_state;
  int64_t purchase_time;
};

const Row kRows[] = {
    {401, "{}", 0, Rvr::kTokenRejected, 0, 0},
    {200, R"({"consumptionState":1,"purchaseState":1,"purchaseTime":1700000000123})", 0,
     Rvr::kSuccess, 1, 1700000000123},
    // Without a usable purchase time the purchase still counts.
    {200, R"({"consumptionState":0,"purchaseState":0,"purchaseTime":"x"})", 0, Rvr::kSuccess, 0, 0},
    // An "error" object is OneStore's word against the receipt, whatever else is there.
    {200, R"({"error":{"code":"x"},"consumptionState":0,"purchaseState":0})", 0, Rvr::kFailure, 0, 0},
    // Unlike Google, OneStore has no pending state.
    {200, R"({"consumptionState":0,"purchaseState":2})", kServiceProviderProtocolError, 0, 0, 0},
    {200, R"({"purchaseState":0})", kServiceProviderProtocolError, 0, 0, 0},
    {200, R"({"consumptionState":"0","purchaseState":0})", kServiceProviderProtocolError, 0, 0, 0},
    {200, "not json", kServiceProviderProtocolError, 0, 0, 0}, {200, "[]", kServiceProviderProtocolError, 0, 0, 0},
};

// Unreachable stores and 5xx answers: StoreHttpTest.
TEST(OneStoreAnswerTest, StatusAndBodyGiveTheErrorOrTheVerdict) {
  for (const Row& row : kRows) {
    Rvr read;
    const boost::system::error_code ec = OneStoreAdapter::ReadReceiptValidationAnswer(
        http::TransportCode::kOk, http::Response{row.status, row.body}, &read);
    EXPECT_EQ(ec, row.error ? MakeBillerError(row.error) : boost::system::error_code()) << row.body;
    if (row.error) continue;
    EXPECT_EQ(std::tie(read.code, read.purchase_state, read.purchase_time),
              std::tie(row.verdict, row.purchase_state, row.purchase_time)) << row.body;
  }
}

}  // namespace
}  // namespace tvx
