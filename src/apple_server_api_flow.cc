// The Apple flow of the two receipt forms beside "receipt_data": a
// transaction id asked of the App Store Server API, and a signed transaction
// from the device verified here. Either ends in Apple's verified payload,
// judged and recorded with the same insert, duplicate identity and Purchase
// record as a verifyReceipt purchase.
#include <boost/date_time/posix_time/posix_time.hpp>
#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/clock.h"
#include "framework/timer.h"
#include "framework/uuid.h"
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

void Fail(const Flow& flow, int32_t code, int32_t statistics_code) {
  BillingAgent::SendResponse(flow->request(), BillingMessageWriter::CreateFailResponse(
                                                  flow->request()->request_uuid(), code,
                                                  DescribeError(code)));
  flow->Record(statistics_code);
}

// Exactly one of the two forms, as a non-empty string, with a product id.
bool IsWellFormed(const Json& receipt) {
  const bool by_id = receipt.HasAttribute(kAppleAppStoreTransactionIdKey);
  return HasText(receipt, kAppleAppStoreProductIdKey) &&
         by_id != receipt.HasAttribute(kAppleAppStoreSignedTransactionKey) &&
         HasText(receipt, by_id ? kAppleAppStoreTransactionIdKey
                                : kAppleAppStoreSignedTransactionKey);
}

// Apple's milliseconds as the "YYYY-MM-DD hh:mm:ss" text verifyReceipt rows hold.
std::string DateTimeText(int64_t millis) {
  std::string text = boost::posix_time::to_iso_extended_string(WallClock::FromMsec(millis));
  text = text.substr(0, 19);
  if (text.size() > 10) text[10] = ' ';
  return text;
}

// Why a verified payload cannot stand for the receipt ("" when it can).
std::string Mismatch(const Json& p, const Json& receipt, const AppleServerApiConfig& config) {
  if (!p.HasAttribute("bundleId", Json::kString) || p.GetString("bundleId") != config.bundle_id) {
    return "bundleId is not the configured bundle_id";
  }
  if (!HasText(p, "transactionId") || !p.HasAttribute("productId", Json::kString) ||
      !p.HasAttribute("purchaseDate", Json::kInteger)) {
    return "the payload lacks transactionId, productId or purchaseDate";
  }
  if (receipt.HasAttribute(kAppleAppStoreTransactionIdKey) &&
      p.GetString("transactionId") != receipt.GetString(kAppleAppStoreTransactionIdKey)) {
    return "the payload is of another transaction";
  }
  return std::string();
}

void Insert(const Flow& flow, const Json& p, const std::string& signed_text) {
  auto text_or = [&](const char* name, const std::string& fallback) {
    return p.HasAttribute(name, Json::kString) ? p.GetString(name) : fallback;
  };
  auto millis_or = [&](const char* name, int64_t fallback) {
    return p.HasAttribute(name, Json::kInteger) ? p.GetInteger(name) : fallback;
  };
  const int64_t purchase_ms = p.GetInteger("purchaseDate");
  AppleAppStoreReceiptRow row;
  row.owner = flow->owner();
  row.is_sandbox = text_or("environment", "") == "Sandbox";
  // The signed transaction is the evidence kept in place of receipt data.
  row.receipt_data = signed_text;
  row.product_id = flow->receipt().GetString(kAppleAppStoreProductIdKey);
  row.quantity = millis_or("quantity", 1);
  row.transaction_id = p.GetString("transactionId");
  row.original_transaction_id = text_or("originalTransactionId", row.transaction_id);
  row.purchase_date = DateTimeText(purchase_ms);
  row.purchase_date_time_zone = kZone;
  row.original_purchase_date = DateTimeText(millis_or("originalPurchaseDate", purchase_ms));
  row.original_purchase_date_time_zone = kZone;
  LOG(INFO) << "Validating Apple AppStore receipt was successful, Now updating the data";
  auto log_purchase = [flow, row, purchase_ms] {
    flow->LogPurchase(row.product_id, row.quantity, purchase_ms / 1000, kZone);
  };
  flow->InsertThenAnswer(&BillerDatabase::InsertAppleAppStoreReceipt, row,
                         {p, log_purchase, nullptr});
}

// The verdicts on a signed transaction, verified or refused.
void Judge(const Flow& flow, const jws::Verified& verified, const std::string& signed_text,
           const AppleServerApiConfig& config) {
  const Json& p = verified.payload;
  const std::string refusal =
      verified.ok ? Mismatch(p, flow->receipt(), config) : verified.refusal;
  if (!refusal.empty()) {
    LOG(WARNING) << kAppleServerApi.tag << "Invalid receipt found" << flow->Fields()
                 << ", reason=" << refusal;
    flow->Answer(Biller::ReceiptValidation_Response::kFailWrongReceipt);
    flow->Record(kWrongReceipt);
    return;
  }
  const std::string product_id = flow->receipt().GetString(kAppleAppStoreProductIdKey);
  if (p.GetString("productId") != product_id) {
    LOG(ERROR) << kAppleServerApi.tag << "Could not find 'request_product_id' in the transaction"
               << ": request_product_id=" << product_id
               << ", product_id=" << Json(p.GetString("productId")).ToString() << flow->Fields();
    Fail(flow, kProductMismatch, kServiceProviderCommunicationError);
    return;
  }
  if (p.HasAttribute("revocationDate")) {
    flow->Refuse(kRefuseCancelled);
    return;
  }
  Insert(flow, p, signed_text);
}

// Get Transaction Info, holding each retry until a 429's Retry-After.
void AskApple(const Flow& flow, const std::shared_ptr<const AppleServerApiConfig>& config) {
  auto retry_after_ms = std::make_shared<int64_t>(0);
  flow->Ask<ApiAnswer>(
      kTransactionStep,
      [flow, config, retry_after_ms](StoreFlow::Completion<ApiAnswer> done) {
        auto ask = [flow, config, retry_after_ms, done] {
          AppleServerApiAdapter::Create(AgentIo(), config)
              ->GetTransactionInfo(flow->receipt().GetString(kAppleAppStoreTransactionIdKey),
                                   [retry_after_ms, done](const boost::system::error_code& error,
                                                          const ApiAnswer& answer) {
                                     *retry_after_ms = answer.retry_after_ms;
                                     done(error, answer);
                                   });
        };
        const int64_t now_ms = (WallClock::Now() - WallClock::kEpochClock).total_milliseconds();
        const int64_t wait = RemainingRetryAfterWait(*retry_after_ms, now_ms, kBackoffMaxWaitTime);
        if (wait > 0) {
          RawTimer::ExpireAfter(wait, ask);
        } else {
          ask();
        }
      },
      [flow, config](const ApiAnswer& answer) {
        jws::Verified verified;
        verified.ok = answer.found;
        verified.refusal = answer.refusal;
        verified.payload = answer.payload;
        Judge(flow, verified, answer.signed_transaction, *config);
      });
}

}  // namespace

bool IsAppleServerApiReceipt(const Json& receipt) {
  return !receipt.HasAttribute(kAppleAppStoreReceiptDataKey) &&
         (receipt.HasAttribute(kAppleAppStoreTransactionIdKey) ||
          receipt.HasAttribute(kAppleAppStoreSignedTransactionKey));
}

void RequestAppleServerApiValidation(const std::shared_ptr<Request>& request, const Json& receipt,
                                     const PlayerAccount& account,
                                     const std::shared_ptr<ExponentialBackoff>& back_off) {
  auto flow =
      std::make_shared<const StoreFlow>(kAppleServerApi, request, receipt, account, back_off);
  if (flow->first_attempt() && !IsWellFormed(receipt)) {
    LOG(WARNING) << kAppleServerApi.tag << "Invalid Apple AppStore receipt found"
                 << ": session_id=" << util::ToString(request->session->id())
                 << ", receipt=" << receipt.ToString();
    flow->Answer(Biller::ReceiptValidation_Response::kFailWrongReceipt);
    return;
  }
  const std::shared_ptr<const AppleServerApiConfig> config = GetAppleServerApiConfig();
  if (!config) {
    LOG(ERROR) << kAppleServerApi.tag
               << "Install argument \"apple_app_store_server_api\" is not given"
               << flow->Fields();
    Fail(flow, kServiceProviderCommunicationError, kServiceProviderCommunicationError);
    return;
  }
  if (receipt.HasAttribute(kAppleAppStoreSignedTransactionKey)) {
    const std::string signed_text = receipt.GetString(kAppleAppStoreSignedTransactionKey);
    Judge(flow, config->verifier->Verify(signed_text), signed_text, *config);
    return;
  }
  AskApple(flow, config);
}

}  // namespace tvx
