// Receipt validation dispatch: answers bypass, unauthenticated sessions and
// unreadable receipts itself, and hands every other receipt to its store's
// flow, which answers the client.
#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/player_account.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_statistics.h"
#include "src/log_text.h"

namespace tvx {
namespace {

using ValidationResponse = Biller::ReceiptValidation_Response;

void AnswerResult(const std::shared_ptr<Request>& request, int result) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponse(
                                          request->request_uuid(), result));
}

}  // namespace

int BillingAgent::GetServiceProvider(const Json& object) {
  if (!object.HasAttribute(kBillingServiceProviderKey, Json::kString)) return 0;
  return GetBillingServiceProviderFromString(object.GetString(kBillingServiceProviderKey));
}

void BillingAgent::OnReceiptValidationRequested(const std::shared_ptr<Request>& request) {
  LOG(INFO) << "BillingAgent::OnReceiptValidationRequested";
  RecordValidationDispatched(*request);
  if (the_bypass_mode) {
    LOG(INFO) << "bypass receipt validation";
    SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponseSuccess(
                              request->request_uuid()));
    return;
  }
  const auto& session = request->session;
  if (session->state() != ClientSession::kAuthenticated) {
    LOG(WARNING) << "BillingAgent::OnReceiptValidationRequested: "
                 << "authentication required: "
                 << "session[" << session << "]";
    AnswerResult(request, ValidationResponse::kFailAuthenticationRequired);
    return;
  }

  const auto& validation = request->request_message->receipt_validation();
  const PlayerAccount account(validation.player_service_provider(), validation.player_id());
  Json receipt;
  if (!receipt.FromString(validation.receipt())) {
    LOG(WARNING) << "BillingAgent::OnReceiptValidationRequested: "
                 << "failed to parse receipt : "
                 << "session[" << session << "], receipt[" << kRedacted << " ("
                 << validation.receipt().size() << " bytes)]";
    AnswerResult(request, ValidationResponse::kFailWrongServiceProvider);
    return;
  }

  const int provider = GetServiceProvider(receipt);
  request->service_provider = provider;
  ValidationStart start{
      request, receipt, account,
      std::make_shared<ExponentialBackoff>(kBackoffInitialWaitTime, kBackoffMaxWaitTime)};
  switch (provider) {
    case kBillingServiceProviderGooglePlay:
      RequestGooglePlayAccessToken(std::move(start));
      return;
    case kBillingServiceProviderAppleAppStore:
      RequestAppleAppStoreReceiptValidation(std::move(start));
      return;
    case kBillingServiceProviderTStore:
      RequestTStoreReceiptValidation(std::move(start));
      return;
    case kBillingServiceProviderPlayStation4:
      RequestP4ReceiptValidation(std::move(start));
      return;
    case kBillingServiceProviderOneStore:
      RequestOneStoreAccessToken(std::move(start));
      return;
    default:
      LOG(WARNING) << "BillingAgent::OnReceiptValidationRequested: "
                   << "invalid billing service provider : "
                   << "session[" << session << "], receipt[" << JsonForLog(receipt) << "]";
      AnswerResult(request, ValidationResponse::kFailWrongServiceProvider);
      return;
  }
}

}  // namespace tvx
