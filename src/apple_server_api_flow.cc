// The Apple flow of the two receipt forms beside "receipt_data": a
// transaction id asked of the App Store Server API, and a signed transaction
// from the device verified here. Either ends in Apple's verified payload,
// judged and recorded with the same insert, duplicate identity and Purchase
// record as a verifyReceipt purchase.
#include <glog/logging.h>

#include "framework/billing_store.h"
#include "src/apple_server_api.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/store_flow.h"

namespace tvx {
namespace {

using ApiAnswer = AppleServerApiAdapter::Answer;

constexpr StoreTraits kAppleServerApi = {"[Apple AppStore] ", kAppleAppStoreName,
                                         &the_apple_statistics, true,
                                         "BillingAgent::OnAppleAppStoreReceiptInserted called"};
constexpr char kZone[] = "Etc/GMT";

constexpr RetryStep kTransactionStep = {
    "Failed to get Apple AppStore transaction info, retry after ",
    "[Apple AppStore] Error occurred while communicating with App Store Server API", true};

void Insert(const Flow& flow, const Json& p, const std::string& signed_text) {
  auto text_or = [&](const char* name, const std::string& fallback) {
    return p.HasAttribute(name, Json::kString) ? p.GetString(name) : fallback;
  };
  auto millis_or = [&](const char* name, int64_t fallback) {
    return p.HasAttribute(name, Json::kInteger) ? p.GetInteger(name) : fallback;
  };
  const int64_t purchase_ms = p.GetInteger("purchaseDate");
  auto row = flow->NewRow<AppleAppStoreReceiptRow>();
  row.is_sandbox = text_or("environment", "") == "Sandbox";
  // The signed transaction is the evidence kept in place of receipt data.
  row.receipt_data = signed_text;
  row.product_id = flow->receipt().GetString(kAppleAppStoreProductIdKey);
  row.quantity = millis_or("quantity", 1);
  row.transaction_id = p.GetString("transactionId");
  row.original_transaction_id = text_or("originalTransactionId", row.transaction_id);
  row.purchase_date = AppleDateTimeText(purchase_ms);
  row.purchase_date_time_zone = kZone;
  row.original_purchase_date = AppleDateTimeText(millis_or("originalPurchaseDate", purchase_ms));
  row.original_purchase_date_time_zone = kZone;
  StoreFlow::LogSucceeded("Apple AppStore");
  auto log_purchase = [flow, row, purchase_ms] {
    flow->LogPurchase(row.product_id, row.quantity, purchase_ms / 1000, kZone);
  };
  flow->InsertThenAnswer(&BillerDatabase::InsertAppleAppStoreReceipt, row,
                         {p, log_purchase, nullptr});
}

// The verdicts on a signed transaction, verified or refused.
void Judge(const Flow& flow, bool verified, const std::string& why_not, const Json& p,
           const std::string& signed_text, const AppleServerApiConfig& config) {
  const std::string refusal =
      verified ? AppleServerApiMismatch(p, flow->receipt(), config) : why_not;
  if (!refusal.empty()) return flow->Refuse(kRefuseInvalid, ", reason=" + refusal);
  const std::string product_id = flow->receipt().GetString(kAppleAppStoreProductIdKey);
  if (p.GetString("productId") != product_id) {
    LOG(ERROR) << kAppleServerApi.tag << "Could not find 'request_product_id' in the transaction"
               << ": request_product_id=" << product_id
               << ", product_id=" << Json(p.GetString("productId")).ToString() << flow->Fields();
    return flow->Fail(kProductMismatch, DescribeError(kProductMismatch),
                      kServiceProviderCommunicationError);
  }
  if (p.HasAttribute("revocationDate")) return flow->Refuse(kRefuseCancelled);
  Insert(flow, p, signed_text);
}

// Get Transaction Info, holding each retry until a 429's Retry-After.
void AskApple(const Flow& flow, const std::shared_ptr<const AppleServerApiConfig>& config) {
  auto retry_after_ms = std::make_shared<int64_t>(0);
  flow->Ask<ApiAnswer>(
      kTransactionStep,
      [flow, config, retry_after_ms](StoreFlow::Completion<ApiAnswer> done) {
        AppleServerApiAdapter::Create(AgentIo(), config)
            ->GetTransactionInfoAfter(retry_after_ms,
                                      flow->receipt().GetString(kAppleAppStoreTransactionIdKey),
                                      std::move(done));
      },
      [flow, config](const ApiAnswer& answer) {
        Judge(flow, answer.found, answer.refusal, answer.payload, answer.signed_transaction,
              *config);
      });
}

}  // namespace

void RequestAppleServerApiValidation(ValidationStart start) {
  auto flow = std::make_shared<const StoreFlow>(kAppleServerApi, std::move(start));
  const Json& receipt = flow->receipt();
  if (flow->first_attempt() && !IsWellFormedAppleServerApiReceipt(receipt)) {
    return flow->RefuseMalformed("Invalid Apple AppStore receipt found");
  }
  const std::shared_ptr<const AppleServerApiConfig> config = GetAppleServerApiConfig();
  if (!config) {
    LOG(ERROR) << kAppleServerApi.tag
               << "Install argument \"apple_app_store_server_api\" is not given"
               << flow->Fields();
    return flow->Fail(kServiceProviderCommunicationError,
                      DescribeError(kServiceProviderCommunicationError),
                      kServiceProviderCommunicationError);
  }
  if (receipt.HasAttribute(kAppleAppStoreSignedTransactionKey)) {
    const std::string signed_text = receipt.GetString(kAppleAppStoreSignedTransactionKey);
    const jws::Verified verified = config->verifier->Verify(signed_text);
    return Judge(flow, verified.ok, verified.refusal, verified.payload, signed_text, *config);
  }
  AskApple(flow, config);
}

}  // namespace tvx
