// The TStore validation flow: checks the receipt's form, has the adapter
// confirm it (retrying while the store cannot be reached), records a
// confirmed purchase once, and answers. TStore is OneStore's older API, so
// the lines of this flow carry OneStore's tag.
#include <string>
#include <vector>

#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/store_flow.h"
#include "src/tstore_adapter.h"
#include "src/log_text.h"

namespace tvx {
namespace {

using Rvr = TStoreAdapter::ReceiptValidationResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kTag[] = "[OneStore] ";
constexpr StoreTraits kTStore = {kTag, kTStoreName, &the_tstore_statistics, true,
                                 "BillingAgent::OnTStoreReceiptInserted called"};

constexpr RetryStep kReceiptStep = {
    "Failed to validate OneStore receipt, retry after ",
    "[OneStore] Error occurred while communicating with OneStore server", true};

// The product ids the client claims: the strings of the receipt's products
// array, in order.
std::vector<std::string> RequestedProductIds(const Json& receipt) {
  const Json products = receipt[kTStoreProductsKey];
  std::vector<std::string> ids;
  ids.reserve(products.Size());
  for (size_t i = 0; i < products.Size(); ++i) ids.push_back(products[i].GetString());
  return ids;
}

// Logs why the receipt cannot be validated; true when it can.
bool IsWellFormed(const Json& receipt) {
  const Json products = receipt[kTStoreProductsKey];
  if (!products.IsArray()) {
    LOG(ERROR) << kTag << "Wrong attribute type found" << ": attribute='" << kTStoreProductsKey
               << "'" << ", receipt=" << JsonForLog(receipt);
    return false;
  }
  for (size_t i = 0; i < products.Size(); ++i) {
    if (!products[i].IsString()) {
      LOG(ERROR) << kTag << "Wrong element type found" << ": array_attribute='"
                 << kTStoreProductsKey << "'" << ", expected_type='string'"
                 << ", receipt=" << JsonForLog(receipt);
      return false;
    }
  }
  if (!receipt.HasAttribute(kTStoreTxidKey, Json::kString) ||
      !receipt.HasAttribute(kTStoreAppidKey, Json::kString) ||
      !receipt.HasAttribute(kTStoreSigndataKey, Json::kString) ||
      !receipt.HasAttribute(kTStoreTestKey, Json::kBool) ||
      receipt.GetString(kTStoreTxidKey).empty() || receipt.GetString(kTStoreAppidKey).empty() ||
      receipt.GetString(kTStoreSigndataKey).empty()) {
    LOG(ERROR) << kTag << "Missing required fields" << ": fields='" << kTStoreTxidKey << "', '"
               << kTStoreAppidKey << "', '" << kTStoreSigndataKey << "', '" << kTStoreTestKey
               << "', receipt=" << JsonForLog(receipt);
    return false;
  }
  return true;
}

void OnValidated(const Flow& flow, const Rvr& response) {
  if (response.code == Rvr::kInvalidReceipt) return flow->Refuse(kRefuseInvalid);
  if (response.code != Rvr::kSuccess) LOG(FATAL) << "Assert failed: response.code == Rvr::kSuccess";

  const Json& receipt = flow->receipt();
  auto row = flow->NewRow<TStoreReceiptRow>();
  row.requested_product_ids = RequestedProductIds(receipt);
  row.is_test = receipt.GetBool(kTStoreTestKey);
  row.txid = receipt.GetString(kTStoreTxidKey);
  row.appid = receipt.GetString(kTStoreAppidKey);
  row.signdata = receipt.GetString(kTStoreSigndataKey);
  for (const TStoreAdapter::Product& product : response.products) {
    row.verified_product_ids.push_back(product.product_id);
  }
  StoreFlow::LogSucceeded("OneStore");
  flow->InsertThenAnswer(&BillerDatabase::InsertTStoreReceipt, row,
                         {response.decoded_receipt, nullptr, nullptr});
}

}  // namespace

void BillingAgent::RequestTStoreReceiptValidation(ValidationStart start) {
  auto flow = std::make_shared<const StoreFlow>(kTStore, std::move(start));
  if (flow->first_attempt() && !IsWellFormed(flow->receipt())) {
    flow->Answer(ValidationResponse::kFailWrongReceipt);
    return;
  }
  // A retry hands the adapter the requested products again, so that its
  // product check applies to every attempt, not only the first.
  auto ask = [flow](StoreFlow::Completion<Rvr> done) {
    const Json& receipt = flow->receipt();
    TStoreAdapter::Create(AgentIo())->RequestReceiptValidation(
        receipt.GetString(kTStoreTxidKey), receipt.GetString(kTStoreAppidKey),
        receipt.GetString(kTStoreSigndataKey), RequestedProductIds(receipt),
        receipt.GetBool(kTStoreTestKey), std::move(done));
  };
  flow->Ask<Rvr>(kReceiptStep, ask, [flow](const Rvr& response) { OnValidated(flow, response); });
}

}  // namespace tvx
