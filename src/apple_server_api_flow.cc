// The Apple flow of the two receipt forms beside "receipt_data": a
// transaction id asked of the App Store Server API, and a signed transaction
// from the device verified here. Either ends in Apple's verified payload,
// judged and recorded with the same insert, duplicate identity and Purchase
// record as a verifyReceipt purchase.
#include <sstream>

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
#include "src/billing_statistics.h"
#include "src/flow_outcome.h"
#include "src/purchase_log.h"
#include "src/retry_policy.h"

namespace tvx {
namespace {

using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kTag[] = "[Apple AppStore] ";
constexpr char kZone[] = "Etc/GMT";

constexpr RetryStep kTransactionStep = {
    "Failed to get Apple AppStore transaction info, retry after ",
    "[Apple AppStore] Error occurred while communicating with App Store Server API", true};

void Record(int32_t code, int64_t start_time) {
  RecordValidation(the_total_statistics, code, start_time);
  RecordValidation(the_apple_statistics, code, start_time);
}

std::string Fields(const Request& request, const PlayerAccount& account, const Json& receipt) {
  std::ostringstream fields;
  fields << ": session=" << util::ToString(request.session->id()) << ", account id=" << account
         << ", receipt=" << receipt.ToString();
  return fields.str();
}

void Answer(const std::shared_ptr<Request>& request, int result, int32_t statistics_code) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponse(
                                          request->request_uuid(), result));
  Record(statistics_code, request->start_time);
}

// Exactly one of the two forms, as a non-empty string, with a product id.
bool IsWellFormed(const Json& receipt) {
  auto text = [&](const char* name) {
    return receipt.HasAttribute(name, Json::kString) && !receipt.GetString(name).empty();
  };
  return text(kAppleAppStoreProductIdKey) &&
         text(kAppleAppStoreTransactionIdKey) != text(kAppleAppStoreSignedTransactionKey) &&
         receipt.HasAttribute(kAppleAppStoreTransactionIdKey) !=
             receipt.HasAttribute(kAppleAppStoreSignedTransactionKey);
}

// Apple's milliseconds as the "YYYY-MM-DD hh:mm:ss" text verifyReceipt rows hold.
std::string DateTimeText(int64_t millis) {
  std::string text = boost::posix_time::to_iso_extended_string(WallClock::FromMsec(millis));
  text = text.substr(0, 19);
  if (text.size() > 10) text[10] = ' ';
  return text;
}

// Verdicts on a verified payload; records the purchase when it stands.
void Judge(const std::shared_ptr<Request>& request, const PlayerAccount& account,
           const Json& receipt, const jws::Verified& verified, const std::string& signed_text,
           const AppleServerApiConfig& config) {
  const Json& p = verified.payload;
  std::string refusal = verified.refusal;
  if (verified.ok) {
    if (!p.HasAttribute("bundleId", Json::kString) || p.GetString("bundleId") != config.bundle_id) {
      refusal = "bundleId is not the configured bundle_id";
    } else if (!p.HasAttribute("transactionId", Json::kString) ||
               p.GetString("transactionId").empty() ||
               !p.HasAttribute("productId", Json::kString) ||
               !p.HasAttribute("purchaseDate", Json::kInteger)) {
      refusal = "the payload lacks transactionId, productId or purchaseDate";
    } else if (receipt.HasAttribute(kAppleAppStoreTransactionIdKey) &&
               p.GetString("transactionId") != receipt.GetString(kAppleAppStoreTransactionIdKey)) {
      refusal = "the payload is of another transaction";
    }
  }
  if (!refusal.empty()) {
    LOG(WARNING) << kTag << "Invalid receipt found" << Fields(*request, account, receipt)
                 << ", reason=" << refusal;
    Answer(request, ValidationResponse::kFailWrongReceipt, kWrongReceipt);
    return;
  }
  const std::string product_id = receipt.GetString(kAppleAppStoreProductIdKey);
  if (p.GetString("productId") != product_id) {
    LOG(ERROR) << kTag << "Could not find 'request_product_id' in the transaction"
               << ": request_product_id=" << product_id
               << ", product_id=" << Json(p.GetString("productId")).ToString()
               << Fields(*request, account, receipt);
    BillingAgent::SendResponse(
        request, BillingMessageWriter::CreateFailResponse(request->request_uuid(), kProductMismatch,
                                                          DescribeError(kProductMismatch)));
    Record(kServiceProviderCommunicationError, request->start_time);
    return;
  }
  if (p.HasAttribute("revocationDate")) {
    LOG(WARNING) << kTag << "Cancelled receipt" << Fields(*request, account, receipt);
    Answer(request, ValidationResponse::kFailCancelledReceipt, kCancelledReceipt);
    return;
  }

  const int64_t purchase_ms = p.GetInteger("purchaseDate");
  const int64_t original_ms = p.HasAttribute("originalPurchaseDate", Json::kInteger)
                                  ? p.GetInteger("originalPurchaseDate")
                                  : purchase_ms;
  const std::string original_id = p.HasAttribute("originalTransactionId", Json::kString)
                                      ? p.GetString("originalTransactionId")
                                      : p.GetString("transactionId");
  const int64_t quantity = p.HasAttribute("quantity", Json::kInteger) ? p.GetInteger("quantity") : 1;
  const bool is_sandbox =
      p.HasAttribute("environment", Json::kString) && p.GetString("environment") == "Sandbox";
  LOG(INFO) << "Validating Apple AppStore receipt was successful, Now updating the data";

  auto done = [request, account, receipt, p, purchase_ms,
               quantity](const BillerDatabase::InsertReceiptResult& result) {
    VLOG(2) << "BillingAgent::OnAppleAppStoreReceiptInserted called";
    AnswerInsertResult(result, kTag, kAppleAppStoreName, the_apple_statistics, request,
                       Fields(*request, account, receipt), p, [&] {
                         LogPurchase(request->session->client_id(), account.id(),
                                     account.service_provider(),
                                     receipt.GetString(kAppleAppStoreProductIdKey), quantity,
                                     purchase_ms / 1000, kZone,
                                     WallClock::ToSeconds(WallClock::Now()));
                       });
  };
  const std::shared_ptr<BillerDatabase> database = the_db_connection;
  if (!database) {
    done(BillerDatabase::kInsertConnectionFailed);
    return;
  }
  // The signed transaction is the evidence kept in place of receipt data.
  database->InsertAppleAppStoreReceipt(request->session->client_id(), account.id(),
                                       account.service_provider(), is_sandbox, signed_text,
                                       product_id, quantity, p.GetString("transactionId"),
                                       original_id, DateTimeText(purchase_ms), kZone,
                                       DateTimeText(original_ms), kZone, done);
}

void OnTransactionInfo(const std::shared_ptr<Request>& request, const PlayerAccount& account,
                       const std::shared_ptr<ExponentialBackoff>& back_off, const Json& receipt,
                       int64_t send_time, const std::shared_ptr<const AppleServerApiConfig>& config,
                       const boost::system::error_code& error,
                       const AppleServerApiAdapter::Answer& answer) {
  RecordCommunication(the_total_statistics, send_time);
  RecordCommunication(the_apple_statistics, send_time);
  if (error) {
    Record(kServiceProviderCommunicationError, request->start_time);
    const int64_t retry_after_ms = answer.retry_after_ms;
    RetryOrGiveUp(kTransactionStep, error, back_off, request, account, receipt,
                  [request, receipt, account, back_off, retry_after_ms] {
                    // A 429's Retry-After holds the attempt until then, within
                    // the back-off's ceiling.
                    const int64_t wait = RemainingRetryAfterWait(
                        retry_after_ms, (WallClock::Now() - WallClock::kEpochClock).total_milliseconds(), kBackoffMaxWaitTime);
                    auto ask = [request, receipt, account, back_off] {
                      RequestAppleServerApiValidation(request, receipt, account, back_off);
                    };
                    if (wait > 0) {
                      RawTimer::ExpireAfter(wait, ask);
                    } else {
                      ask();
                    }
                  });
    return;
  }
  jws::Verified verified;
  verified.ok = answer.found;
  verified.refusal = answer.refusal;
  verified.payload = answer.payload;
  Judge(request, account, receipt, verified, answer.signed_transaction, *config);
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
  if (back_off->try_count() == 0 && !IsWellFormed(receipt)) {
    LOG(WARNING) << kTag << "Invalid Apple AppStore receipt found"
                 << ": session_id=" << util::ToString(request->session->id())
                 << ", receipt=" << receipt.ToString();
    BillingAgent::SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponse(
                                            request->request_uuid(),
                                            ValidationResponse::kFailWrongReceipt));
    return;
  }
  const std::shared_ptr<const AppleServerApiConfig> config = GetAppleServerApiConfig();
  if (!config) {
    LOG(ERROR) << kTag << "Install argument \"apple_app_store_server_api\" is not given"
               << Fields(*request, account, receipt);
    BillingAgent::SendResponse(request, BillingMessageWriter::CreateFailResponse(
                                            request->request_uuid(),
                                            kServiceProviderCommunicationError,
                                            DescribeError(kServiceProviderCommunicationError)));
    Record(kServiceProviderCommunicationError, request->start_time);
    return;
  }
  if (receipt.HasAttribute(kAppleAppStoreSignedTransactionKey)) {
    const std::string signed_text = receipt.GetString(kAppleAppStoreSignedTransactionKey);
    Judge(request, account, receipt, config->verifier->Verify(signed_text), signed_text, *config);
    return;
  }
  const int64_t send_time = MonotonicClock::Now();
  AppleServerApiAdapter::Create(AgentIo(), config)
      ->GetTransactionInfo(receipt.GetString(kAppleAppStoreTransactionIdKey),
                           [request, account, back_off, receipt, send_time, config](
                               const boost::system::error_code& error,
                               const AppleServerApiAdapter::Answer& answer) {
                             OnTransactionInfo(request, account, back_off, receipt, send_time,
                                               config, error, answer);
                           });
}

}  // namespace tvx
