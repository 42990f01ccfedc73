// The Apple App Store validation flow: checks the receipt's form, has the
// adapter ask Apple (retrying while Apple cannot be reached), records a
// verified purchase once, writes its Purchase record, and answers.
#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "framework/uuid.h"
#include "src/apple_appstore_adapter.h"
#include "src/apple_server_api.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/store_flow.h"
#include "src/log_text.h"

namespace tvx {
namespace {

using Rvr = AppleAppStoreAdapter::ReceiptValidationResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr StoreTraits kAppleAppStore = {"[Apple AppStore] ", kAppleAppStoreName,
                                        &the_apple_statistics, true,
                                        "BillingAgent::OnAppleAppStoreReceiptInserted called"};

constexpr RetryStep kReceiptStep = {
    "Failed to validate Apple AppStore receipt, retry after ",
    "[Apple AppStore] Error occurred while communicating with Apple AppStore server", true};

bool IsWellFormed(const Json& receipt) {
  return receipt.HasAttribute(kAppleAppStoreReceiptDataKey, Json::kString) &&
         receipt.HasAttribute(kAppleAppStoreProductIdKey, Json::kString) &&
         receipt.HasAttribute(kAppleAppStoreQuantityKey, Json::kInteger) &&
         !receipt.GetString(kAppleAppStoreReceiptDataKey).empty() &&
         !receipt.GetString(kAppleAppStoreProductIdKey).empty();
}

void Insert(const Flow& flow, const Rvr& response) {
  const Json& receipt = flow->receipt();
  // The adapter only hands over purchases whose dates it could read.
  AppleAppStoreDate purchase_date;
  AppleAppStoreDate original_purchase_date;
  auto row = flow->NewRow<AppleAppStoreReceiptRow>();
  ConvertAppleAppStoreDate(response.purchase_date, &purchase_date, &row.purchase_date);
  ConvertAppleAppStoreDate(response.original_purchase_date, &original_purchase_date,
                           &row.original_purchase_date);
  StoreFlow::LogSucceeded("Apple AppStore");
  row.is_sandbox = response.is_sandbox;
  row.receipt_data = receipt.GetString(kAppleAppStoreReceiptDataKey);
  row.product_id = receipt.GetString(kAppleAppStoreProductIdKey);
  row.quantity = receipt.GetInteger(kAppleAppStoreQuantityKey);
  row.transaction_id = response.transaction_id;
  row.original_transaction_id = response.original_transaction_id;
  row.purchase_date_time_zone = purchase_date.zone;
  row.original_purchase_date_time_zone = original_purchase_date.zone;
  auto log_purchase = [flow, row, purchase_date] {
    flow->LogPurchase(row.product_id, row.quantity, purchase_date.epoch_seconds,
                      purchase_date.zone);
  };
  flow->InsertThenAnswer(&BillerDatabase::InsertAppleAppStoreReceipt, row,
                         {response.decoded_receipt, log_purchase, nullptr});
}

void OnValidated(const Flow& flow, const Rvr& response) {
  switch (response.code) {
    case Rvr::kSuccess:
      Insert(flow, response);
      return;
    case Rvr::kCancelled:
      flow->Refuse(kRefuseCancelled);
      return;
    case Rvr::kInvalidReceipt:
      flow->Refuse(kRefuseInvalid);
      return;
    case Rvr::kMissingProductInformation:
      LOG(ERROR) << kAppleAppStore.tag << "Missing product information" << flow->Fields()
                 << ", code=" << static_cast<int>(response.code);
      flow->Answer(ValidationResponse::kFailProductInformationNotFound);
      flow->Record(kWrongReceipt);
      return;
    default:
      LOG(FATAL) << "Assert failed: false";
      return;
  }
}

}  // namespace

void BillingAgent::RequestAppleAppStoreReceiptValidation(ValidationStart start) {
  if (IsAppleServerApiReceipt(start.receipt)) {
    RequestAppleServerApiValidation(std::move(start));
    return;
  }
  auto flow = std::make_shared<const StoreFlow>(kAppleAppStore, std::move(start));
  // A retry asks again with the receipt the first attempt accepted.
  if (flow->first_attempt() && !IsWellFormed(flow->receipt())) {
    return flow->RefuseMalformed("Invalid Apple AppStore receipt found");
  }
  flow->Ask<Rvr>(
      kReceiptStep,
      [flow](StoreFlow::Completion<Rvr> done) {
        AppleAppStoreAdapter::Create(AgentIo())->RequestReceiptValidation(false, flow->receipt(),
                                                                          std::move(done));
      },
      [flow](const Rvr& response) { OnValidated(flow, response); });
}

}  // namespace tvx
