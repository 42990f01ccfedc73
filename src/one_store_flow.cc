// The OneStore validation flow: obtains an access token for the session's
// OneStore client, asks OneStore for the purchase the receipt names (each
// step retried while OneStore cannot be reached), records a valid purchase
// once, and answers. Every request goes to the host that
// biller_use_one_store_test_server names when it is made.
#include <sstream>

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_service.h"
#include "src/billing_statistics.h"
#include "src/flow_outcome.h"
#include "src/one_store_adapter.h"
#include "src/retry_policy.h"

namespace tvx {
namespace {

using Rvr = OneStoreAdapter::ReceiptValidationResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kTag[] = "[OneStore] ";

constexpr RetryStep kTokenStep = {"Failed to get OneStore API access token, retry after ",
                                  "Getting OneStore OAuth API access token was not successful",
                                  false};
constexpr RetryStep kReceiptStep = {
    "Failed to validate OneStore receipt, retry after ",
    "[OneStore] Error occurred while communicating with OneStore server", true};

void Record(int32_t code, int64_t start_time) {
  RecordValidation(the_total_statistics, code, start_time);
  RecordValidation(the_one_store_statistics, code, start_time);
}

void Answer(const std::shared_ptr<Request>& request, int result) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponse(
                                          request->request_uuid(), result));
}

// ": session=..., account id=..., receipt=..." of the outcome lines.
std::string Fields(const Request& request, const PlayerAccount& account, const Json& receipt) {
  std::ostringstream fields;
  fields << ": session=" << request.session << ", account id=" << account
         << ", receipt=" << receipt.ToString();
  return fields.str();
}

bool HasText(const Json& receipt, const char* key) {
  return receipt.HasAttribute(key, Json::kString) && !receipt.GetString(key).empty();
}

void OnOneStoreReceiptInserted(const BillerDatabase::InsertReceiptResult& result,
                               const std::shared_ptr<Request>& request, const Rvr& response,
                               const PlayerAccount& account, const Json& receipt) {
  VLOG(2) << "BillingAgent::OnOneStoreReceiptInserted called";
  AnswerInsertResult(result, kTag, kOneStoreName, the_one_store_statistics, request,
                     Fields(*request, account, receipt),
                     response.receipt, nullptr);
}

void RequestOneStoreReceiptValidation(const std::shared_ptr<Request>& request,
                                      const Json& receipt, const PlayerAccount& account,
                                      const std::shared_ptr<ExponentialBackoff>& back_off,
                                      const std::string& access_token);

void OnOneStoreReceiptValidated(const std::shared_ptr<Request>& request, const Json& receipt,
                                const PlayerAccount& account,
                                const std::shared_ptr<ExponentialBackoff>& back_off,
                                const std::string& access_token, int64_t send_time,
                                const boost::system::error_code& error, const Rvr& response) {
  if (!back_off) LOG(FATAL) << "Assert failed: back_off";
  RecordCommunication(the_total_statistics, send_time);
  RecordCommunication(the_one_store_statistics, send_time);

  if (error) {
    // Every failed attempt counts, also one that is retried.
    Record(kServiceProviderCommunicationError, request->start_time);
    // A retry keeps the token: it was valid, OneStore was what failed.
    RetryOrGiveUp(kReceiptStep, error, back_off, request, account, receipt,
                  [request, receipt, account, back_off, access_token] {
                    RequestOneStoreReceiptValidation(request, receipt, account, back_off,
                                                     access_token);
                  });
    return;
  }
  if (response.code == Rvr::kFailure) {
    LOG(WARNING) << kTag << "Invalid receipt found" << Fields(*request, account, receipt);
    Answer(request, ValidationResponse::kFailWrongReceipt);
    Record(kWrongReceipt, request->start_time);
    return;
  }
  if (response.code != Rvr::kSuccess) {
    LOG(FATAL) << "Assert failed: response.code == "
                  "OneStoreAdapter::ReceiptValidationResponse::kSuccess";
  }
  if (response.purchase_state == 1) {
    LOG(WARNING) << kTag << "Cancelled receipt" << Fields(*request, account, receipt);
    Answer(request, ValidationResponse::kFailCancelledReceipt);
    Record(kCancelledReceipt, request->start_time);
    return;
  }
  LOG(INFO) << "Validating OneStore receipt was successful, Now updating the data";

  auto done = [request, response, account, receipt](
                  const BillerDatabase::InsertReceiptResult& result) {
    OnOneStoreReceiptInserted(result, request, response, account, receipt);
  };
  const std::shared_ptr<BillerDatabase> database = the_db_connection;
  if (!database) {
    done(BillerDatabase::kInsertConnectionFailed);
    return;
  }
  database->InsertOneStoreReceipt(
      request->session->client_id(), account.id(), account.service_provider(),
      FLAGS_biller_use_one_store_test_server, receipt.GetString(kOneStorePurchaseIdKey),
      receipt.GetString(kOneStorePackageNameKey), receipt.GetString(kOneStoreProductIdKey),
      response.consumption_state, response.purchase_state, response.purchase_time,
      std::string(), done);
}

void RequestOneStoreReceiptValidation(const std::shared_ptr<Request>& request,
                                      const Json& receipt, const PlayerAccount& account,
                                      const std::shared_ptr<ExponentialBackoff>& back_off,
                                      const std::string& access_token) {
  // A retry asks again with the receipt the first attempt accepted.
  if (back_off->try_count() == 0 &&
      !(HasText(receipt, kOneStorePurchaseIdKey) && HasText(receipt, kOneStorePackageNameKey) &&
        HasText(receipt, kOneStoreProductIdKey))) {
    LOG(WARNING) << "Invalid OneStore receipt found: session=" << request->session
                 << ", receipt=" << receipt.ToString();
    Answer(request, ValidationResponse::kFailWrongReceipt);
    return;
  }
  const std::string purchase_id = receipt.GetString(kOneStorePurchaseIdKey);
  const std::string package_name = receipt.GetString(kOneStorePackageNameKey);
  const std::string product_id = receipt.GetString(kOneStoreProductIdKey);
  LOG(INFO) << "Validating OneStore receipt: purchase_id=" << purchase_id
            << ", package_name=" << package_name << ", product_id=" << product_id
            << ", try_count=" << back_off->try_count();
  const int64_t send_time = MonotonicClock::Now();
  OneStoreAdapter::Create(AgentIo())
      ->RequestReceiptValidation(
          purchase_id, package_name, product_id, access_token,
          FLAGS_biller_use_one_store_test_server,
          [request, receipt, account, back_off, access_token, send_time](
              const boost::system::error_code& error, const Rvr& response) {
            OnOneStoreReceiptValidated(request, receipt, account, back_off, access_token,
                                       send_time, error, response);
          });
}

void OnOneStoreAccessTokenReceived(const std::shared_ptr<Request>& request, const Json& receipt,
                                   const PlayerAccount& account,
                                   const std::shared_ptr<ExponentialBackoff>& back_off,
                                   const std::string& access_token,
                                   const boost::system::error_code& error) {
  if (!back_off) LOG(FATAL) << "Assert failed: back_off";
  if (error) {
    RetryOrGiveUp(kTokenStep, error, back_off, request, account, receipt,
                  [request, receipt, account, back_off] {
                    BillingAgent::RequestOneStoreAccessToken(request, receipt, account, back_off);
                  });
    return;
  }
  // The purchase step has retries of its own.
  back_off->Reset();
  RequestOneStoreReceiptValidation(request, receipt, account, back_off, access_token);
}

}  // namespace

void BillingAgent::RequestOneStoreAccessToken(const std::shared_ptr<Request>& request,
                                              const Json& receipt, const PlayerAccount& account,
                                              const std::shared_ptr<ExponentialBackoff>& back_off) {
  const AccessTokenKey token_key = request->session->os_token_key();
  if (back_off->try_count() == 0 && token_key.empty()) {
    LOG(WARNING) << "Could not find authentication information for OneStore service. Please "
                    "check your client id.";
    LOG(WARNING) << "session=" << request->session << ", receipt=" << receipt.ToString();
    Answer(request, ValidationResponse::kFailNotAuthenticatedServiceProvider);
    return;
  }
  OneStoreAdapter::GetCachedAccessToken(
      token_key, FLAGS_biller_use_one_store_test_server,
      [request, receipt, account, back_off](const std::string& access_token,
                                            const boost::system::error_code& error) {
        OnOneStoreAccessTokenReceived(request, receipt, account, back_off, access_token, error);
      });
}

}  // namespace tvx
