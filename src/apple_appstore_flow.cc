// The Apple App Store validation flow: checks the receipt's form, has the
// adapter ask Apple (retrying while Apple cannot be reached), records a
// verified purchase once, writes its Purchase record, and answers.
#include <sstream>

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/clock.h"
#include "framework/uuid.h"
#include "src/apple_appstore_adapter.h"
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

using Rvr = AppleAppStoreAdapter::ReceiptValidationResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kTag[] = "[Apple AppStore] ";

constexpr RetryStep kReceiptStep = {
    "Failed to validate Apple AppStore receipt, retry after ",
    "[Apple AppStore] Error occurred while communicating with Apple AppStore server", true};

void Record(int32_t code, int64_t start_time) {
  RecordValidation(the_total_statistics, code, start_time);
  RecordValidation(the_apple_statistics, code, start_time);
}

void Communicated(int64_t send_time) {
  RecordCommunication(the_total_statistics, send_time);
  RecordCommunication(the_apple_statistics, send_time);
}

void Answer(const std::shared_ptr<Request>& request, int result) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponse(
                                          request->request_uuid(), result));
}

std::string SessionId(const Request& request) { return util::ToString(request.session->id()); }

// ": session=..., account id=..., receipt=..." of the outcome lines.
std::string Fields(const Request& request, const PlayerAccount& account, const Json& receipt) {
  std::ostringstream fields;
  fields << ": session=" << SessionId(request) << ", account id=" << account
         << ", receipt=" << receipt.ToString();
  return fields.str();
}

bool IsWellFormed(const Json& receipt) {
  return receipt.HasAttribute(kAppleAppStoreReceiptDataKey, Json::kString) &&
         receipt.HasAttribute(kAppleAppStoreProductIdKey, Json::kString) &&
         receipt.HasAttribute(kAppleAppStoreQuantityKey, Json::kInteger) &&
         !receipt.GetString(kAppleAppStoreReceiptDataKey).empty() &&
         !receipt.GetString(kAppleAppStoreProductIdKey).empty();
}

void OnAppleAppStoreReceiptInserted(const BillerDatabase::InsertReceiptResult& result,
                                    const std::shared_ptr<Request>& request, const Rvr& response,
                                    const PlayerAccount& account, const Json& receipt) {
  VLOG(2) << "BillingAgent::OnAppleAppStoreReceiptInserted called";
  AnswerInsertResult(result, kTag, kAppleAppStoreName, the_apple_statistics, request,
                     Fields(*request, account, receipt),
                     response.decoded_receipt, [&] {
                       // The adapter only hands over purchases whose dates it could read.
                       AppleAppStoreDate purchase_date;
                       ConvertAppleAppStoreDate(response.purchase_date, &purchase_date);
                       LogPurchase(request->session->client_id(), account.id(),
                                   account.service_provider(),
                                   receipt.GetString(kAppleAppStoreProductIdKey),
                                   receipt.GetInteger(kAppleAppStoreQuantityKey),
                                   purchase_date.epoch_seconds, purchase_date.zone,
                                   WallClock::ToSeconds(WallClock::Now()));
                     });
}

void OnAppleAppStoreReceiptValidated(const std::shared_ptr<Request>& request,
                                     const PlayerAccount& account,
                                     const std::shared_ptr<ExponentialBackoff>& back_off,
                                     const Json& receipt, int64_t send_time,
                                     const boost::system::error_code& error,
                                     const Rvr& response) {
  if (!back_off) LOG(FATAL) << "Assert failed: back_off";
  Communicated(send_time);

  if (error) {
    // Every failed attempt counts, also one that is retried.
    Record(kServiceProviderCommunicationError, request->start_time);
    RetryOrGiveUp(kReceiptStep, error, back_off, request, account, receipt,
                  [request, receipt, account, back_off] {
                    BillingAgent::RequestAppleAppStoreReceiptValidation(request, receipt,
                                                                        account, back_off);
                  });
    return;
  }

  switch (response.code) {
    case Rvr::kSuccess:
      break;
    case Rvr::kCancelled:
      LOG(WARNING) << kTag << "Cancelled receipt" << Fields(*request, account, receipt);
      Answer(request, ValidationResponse::kFailCancelledReceipt);
      Record(kCancelledReceipt, request->start_time);
      return;
    case Rvr::kInvalidReceipt:
      LOG(WARNING) << kTag << "Invalid receipt found" << Fields(*request, account, receipt);
      Answer(request, ValidationResponse::kFailWrongReceipt);
      Record(kWrongReceipt, request->start_time);
      return;
    case Rvr::kMissingProductInformation:
      LOG(ERROR) << kTag << "Missing product information" << Fields(*request, account, receipt)
                 << ", code=" << static_cast<int>(response.code);
      Answer(request, ValidationResponse::kFailProductInformationNotFound);
      Record(kWrongReceipt, request->start_time);
      return;
    default:
      LOG(FATAL) << "Assert failed: false";
      return;
  }

  AppleAppStoreDate purchase_date;
  AppleAppStoreDate original_purchase_date;
  std::string purchase_date_time;
  std::string original_purchase_date_time;
  ConvertAppleAppStoreDate(response.purchase_date, &purchase_date, &purchase_date_time);
  ConvertAppleAppStoreDate(response.original_purchase_date, &original_purchase_date,
                           &original_purchase_date_time);
  LOG(INFO) << "Validating Apple AppStore receipt was successful, Now updating the data";

  auto done = [request, response, account, receipt](
                  const BillerDatabase::InsertReceiptResult& result) {
    OnAppleAppStoreReceiptInserted(result, request, response, account, receipt);
  };
  const std::shared_ptr<BillerDatabase> database = the_db_connection;
  if (!database) {
    done(BillerDatabase::kInsertConnectionFailed);
    return;
  }
  database->InsertAppleAppStoreReceipt(
      request->session->client_id(), account.id(), account.service_provider(),
      response.is_sandbox, receipt.GetString(kAppleAppStoreReceiptDataKey),
      receipt.GetString(kAppleAppStoreProductIdKey), receipt.GetInteger(kAppleAppStoreQuantityKey),
      response.transaction_id, response.original_transaction_id, purchase_date_time,
      purchase_date.zone, original_purchase_date_time, original_purchase_date.zone, done);
}

}  // namespace

void BillingAgent::RequestAppleAppStoreReceiptValidation(
    const std::shared_ptr<Request>& request, const Json& receipt, const PlayerAccount& account,
    const std::shared_ptr<ExponentialBackoff>& back_off) {
  if (IsAppleServerApiReceipt(receipt)) {
    RequestAppleServerApiValidation(request, receipt, account, back_off);
    return;
  }
  // A retry asks again with the receipt the first attempt accepted.
  if (back_off->try_count() == 0 && !IsWellFormed(receipt)) {
    LOG(WARNING) << kTag << "Invalid Apple AppStore receipt found"
                 << ": session_id=" << SessionId(*request) << ", receipt=" << receipt.ToString();
    Answer(request, ValidationResponse::kFailWrongReceipt);
    return;
  }
  auto adapter = AppleAppStoreAdapter::Create(AgentIo());
  const int64_t send_time = MonotonicClock::Now();
  adapter->RequestReceiptValidation(
      false, receipt,
      [request, account, back_off, receipt, send_time](const boost::system::error_code& error,
                                                       const Rvr& response) {
        OnAppleAppStoreReceiptValidated(request, account, back_off, receipt, send_time, error,
                                        response);
      });
}

}  // namespace tvx
