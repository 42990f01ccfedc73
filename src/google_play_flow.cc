// The Google Play validation flow: obtains an access token for the session's
// Google account, asks Google for the purchase the receipt names (each step
// retried while Google cannot be reached), records a purchased receipt once,
// writes its Purchase record, and answers.
#include <charconv>
#include <sstream>

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_statistics.h"
#include "src/flow_outcome.h"
#include "src/google_play_adapter.h"
#include "src/purchase_log.h"
#include "src/retry_policy.h"

namespace tvx {
namespace {

using Rvr = GooglePlayAdapter::ReceiptValidationResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kTag[] = "[Google PlayStore] ";

constexpr RetryStep kTokenStep = {"Failed to get Google API access token, retry after ",
                                  "Getting Google API access token was not successful", false};
constexpr RetryStep kReceiptStep = {
    "Failed to validate Google receipt, retry after ",
    "[Google PlayStore] Error occurred while communicating with Google PlayStore server", true};

void Record(int32_t code, int64_t start_time) {
  RecordValidation(the_total_statistics, code, start_time);
  RecordValidation(the_google_play_statistics, code, start_time);
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

// Whole seconds since the epoch of Google's millisecond text; 0 when Google
// left it out or sent something else, so the purchase is still logged.
int64_t PurchaseEpochSeconds(const std::string& purchase_time_millis) {
  int64_t millis = 0;
  const char* end = purchase_time_millis.data() + purchase_time_millis.size();
  const auto [ptr, ec] = std::from_chars(purchase_time_millis.data(), end, millis);
  if (purchase_time_millis.empty() || ec != std::errc() || ptr != end) return 0;
  return WallClock::ToSeconds(WallClock::FromMsec(millis));
}

void OnGooglePlayReceiptInserted(const BillerDatabase::InsertReceiptResult& result,
                                 const std::shared_ptr<Request>& request, const Rvr& response,
                                 const PlayerAccount& account, const Json& receipt) {
  VLOG(2) << "BillingAgent::OnGooglePlayReceiptInserted called";
  AnswerInsertResult(result, kTag, kGooglePlayName, the_google_play_statistics, request,
                     Fields(*request, account, receipt),
                     response.receipt, [&] {
                       LogPurchase(request->session->client_id(), account.id(),
                                   account.service_provider(),
                                   receipt.GetString(kGooglePlayProductIdKey), 1,
                                   PurchaseEpochSeconds(response.purchase_time_millis), "UTC",
                                   WallClock::ToSeconds(WallClock::Now()));
                     });
}

void RequestGooglePlayReceiptValidation(const std::shared_ptr<Request>& request,
                                        const Json& receipt, const PlayerAccount& account,
                                        const std::shared_ptr<ExponentialBackoff>& back_off,
                                        const std::string& access_token);

void OnGooglePlayReceiptValidated(const std::shared_ptr<Request>& request, const Json& receipt,
                                  const PlayerAccount& account,
                                  const std::shared_ptr<ExponentialBackoff>& back_off,
                                  const std::string& access_token, int64_t send_time,
                                  const boost::system::error_code& error, const Rvr& response) {
  if (!back_off) LOG(FATAL) << "Assert failed: back_off";
  RecordCommunication(the_total_statistics, send_time);
  RecordCommunication(the_google_play_statistics, send_time);

  if (error) {
    // Every failed attempt counts, also one that is retried.
    Record(kServiceProviderCommunicationError, request->start_time);
    // A retry keeps the token: it was valid, Google was what failed.
    RetryOrGiveUp(kReceiptStep, error, back_off, request, account, receipt,
                  [request, receipt, account, back_off, access_token] {
                    RequestGooglePlayReceiptValidation(request, receipt, account, back_off,
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
                  "GooglePlayAdapter::ReceiptValidationResponse::kSuccess";
  }
  switch (response.purchase_state) {
    case 1:
      LOG(WARNING) << kTag << "Cancelled receipt" << Fields(*request, account, receipt);
      Answer(request, ValidationResponse::kFailCancelledReceipt);
      Record(kCancelledReceipt, request->start_time);
      return;
    case 2:
      LOG(WARNING) << kTag << "Pending receipt" << Fields(*request, account, receipt);
      Answer(request, ValidationResponse::kFailPendingReceipt);
      Record(kPendingReceipt, request->start_time);
      return;
    default:
      break;
  }
  LOG(INFO) << "Validating Google Play receipt was successful, Now updating the data";

  auto done = [request, response, account, receipt](
                  const BillerDatabase::InsertReceiptResult& result) {
    OnGooglePlayReceiptInserted(result, request, response, account, receipt);
  };
  const std::shared_ptr<BillerDatabase> database = the_db_connection;
  if (!database) {
    done(BillerDatabase::kInsertConnectionFailed);
    return;
  }
  database->InsertGooglePlayReceipt2(
      request->session->client_id(), account.id(), account.service_provider(),
      receipt.GetString(kGooglePlayPackageNameKey), receipt.GetString(kGooglePlayProductIdKey),
      receipt.GetString(kGooglePlayPurchaseTokenKey), response.kind,
      response.purchase_time_millis, "UTC", response.purchase_state, response.not_consumed,
      response.order_id, response.acknowledgement_state, response.purchase_type, std::string(),
      done);
}

void RequestGooglePlayReceiptValidation(const std::shared_ptr<Request>& request,
                                        const Json& receipt, const PlayerAccount& account,
                                        const std::shared_ptr<ExponentialBackoff>& back_off,
                                        const std::string& access_token) {
  // A retry asks again with the receipt the first attempt accepted.
  if (back_off->try_count() == 0 &&
      !(HasText(receipt, kGooglePlayPackageNameKey) && HasText(receipt, kGooglePlayProductIdKey) &&
        HasText(receipt, kGooglePlayPurchaseTokenKey))) {
    LOG(WARNING) << "Invalid Google Play receipt found: session=" << request->session
                 << ", receipt=" << receipt.ToString();
    Answer(request, ValidationResponse::kFailWrongReceipt);
    return;
  }
  const std::string package_name = receipt.GetString(kGooglePlayPackageNameKey);
  const std::string product_id = receipt.GetString(kGooglePlayProductIdKey);
  const std::string purchase_token = receipt.GetString(kGooglePlayPurchaseTokenKey);
  LOG(INFO) << "Validating Google receipt: package_name=" << package_name
            << ", product_id=" << product_id << ", purchase_token=" << purchase_token
            << ", try_count=" << back_off->try_count();
  const int64_t send_time = MonotonicClock::Now();
  GooglePlayAdapter::Create(AgentIo())
      ->RequestReceiptValidation(
          package_name, product_id, purchase_token, access_token,
          [request, receipt, account, back_off, access_token, send_time](
              const boost::system::error_code& error, const Rvr& response) {
            OnGooglePlayReceiptValidated(request, receipt, account, back_off, access_token,
                                         send_time, error, response);
          });
}

void OnGooglePlayAccessTokenReceived(const std::shared_ptr<Request>& request, const Json& receipt,
                                     const PlayerAccount& account,
                                     const std::shared_ptr<ExponentialBackoff>& back_off,
                                     const std::string& access_token,
                                     const boost::system::error_code& error) {
  if (!back_off) LOG(FATAL) << "Assert failed: back_off";
  if (error) {
    RetryOrGiveUp(kTokenStep, error, back_off, request, account, receipt,
                  [request, receipt, account, back_off] {
                    BillingAgent::RequestGooglePlayAccessToken(request, receipt, account,
                                                               back_off);
                  });
    return;
  }
  // The purchase step has retries of its own.
  back_off->Reset();
  RequestGooglePlayReceiptValidation(request, receipt, account, back_off, access_token);
}

}  // namespace

void BillingAgent::RequestGooglePlayAccessToken(
    const std::shared_ptr<Request>& request, const Json& receipt, const PlayerAccount& account,
    const std::shared_ptr<ExponentialBackoff>& back_off) {
  const AccessTokenKey token_key = request->session->gp_token_key();
  if (back_off->try_count() == 0 && token_key.empty()) {
    LOG(WARNING) << "Could not find authentication information for GooglePlay service. Please "
                    "check your client id.";
    LOG(WARNING) << "session=" << request->session << ", receipt=" << receipt.ToString();
    Answer(request, ValidationResponse::kFailNotAuthenticatedServiceProvider);
    return;
  }
  GooglePlayAdapter::GetCachedAccessToken(
      token_key, [request, receipt, account, back_off](const std::string& access_token,
                                                       const boost::system::error_code& error) {
        OnGooglePlayAccessTokenReceived(request, receipt, account, back_off, access_token, error);
      });
}

}  // namespace tvx
