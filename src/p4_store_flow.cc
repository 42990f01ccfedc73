// The PlayStation 4 validation flow: the client claims a number of uses of an
// entitlement; the adapter reads the entitlement from the platform, the flow
// judges its use limit and consumability, records the use once and answers.
// The platform is asked once: this flow never retries.
#include <sstream>

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_statistics.h"
#include "src/p4_store_adapter.h"

namespace tvx {
namespace {

using Entitlement = P4StoreAdapter::EntitlementResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

void Record(int32_t code, int64_t start_time) {
  RecordValidation(the_total_statistics, code, start_time);
  RecordValidation(the_p4store_statistics, code, start_time);
}

void Answer(const std::shared_ptr<Request>& request, int result) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponse(
                                          request->request_uuid(), result));
}

const char* BoolText(bool value) { return value ? "true" : "false"; }

// "session[...], account id[...], receipt[...]".
std::string Fields(const Request& request, const PlayerAccount& account, const Json& receipt) {
  std::ostringstream fields;
  fields << "session[" << request.session << "], account id[" << account << "], receipt["
         << receipt.ToString();
  return fields.str();
}

// Fields() followed by the entitlement's limit and consumability.
std::string EntitlementFields(const Request& request, const PlayerAccount& account,
                              const Json& receipt, const Entitlement& entitlement) {
  std::ostringstream fields;
  fields << Fields(request, account, receipt) << "], use_limit[" << entitlement.use_limit
         << "], is_consumable[" << BoolText(entitlement.is_consumable) << "]";
  return fields.str();
}

bool IsWellFormed(const Json& receipt) {
  return receipt.HasAttribute(kP4EntitlementIdKey, Json::kString) &&
         receipt.HasAttribute(kP4UseCountKey, Json::kInteger) &&
         receipt.HasAttribute(kP4ServiceLabelKey, Json::kInteger) &&
         receipt.HasAttribute(kP4AuthCodeKey, Json::kString);
}

void OnP4StoreReceiptInserted(const BillerDatabase::InsertReceiptResult& result,
                              const std::shared_ptr<Request>& request,
                              const Entitlement& entitlement, const PlayerAccount& account,
                              const Json& receipt) {
  const std::string fields = EntitlementFields(*request, account, receipt, entitlement);
  switch (result) {
    case BillerDatabase::kInsertSucceeded:
      LOG(INFO) << "BillingAgent::OnP4StoreReceiptInserted: success: " << fields;
      BillingAgent::SendResponse(request,
                                 BillingMessageWriter::CreateReceiptValidationResponseSuccess(
                                     request->request_uuid()));
      Record(kSuccess, request->start_time);
      return;
    case BillerDatabase::kInsertDuplicated:
      LOG(WARNING) << "BillingAgent::OnP4StoreReceiptInserted: " << "already provisioned: "
                   << fields;
      Answer(request, ValidationResponse::kFailAlreadyProvisioned);
      Record(kAlreadyProvisioned, request->start_time);
      return;
    case BillerDatabase::kInsertConnectionFailed:
      LOG(WARNING) << "BillingAgent::OnP4StoreReceiptInserted: "
                   << "failed to get database connection: " << fields;
      break;
    default:
      LOG(WARNING) << "BillingAgent::OnP4StoreReceiptInserted: " << "unknown database error: "
                   << fields;
      break;
  }
  BillingAgent::SendResponse(
      request, BillingMessageWriter::CreateFailResponse(request->request_uuid(), kDatabaseError,
                                                        DescribeError(kDatabaseError)));
  Record(kDatabaseError, request->start_time);
}

void OnP4StoreReceiptValidated(const std::shared_ptr<Request>& request,
                               const PlayerAccount& account, const Json& receipt,
                               int64_t send_time, const boost::system::error_code& error,
                               const Entitlement& entitlement) {
  RecordCommunication(the_total_statistics, send_time);
  RecordCommunication(the_p4store_statistics, send_time);

  if (error) {
    const std::string message = DescribeError(error);
    LOG(WARNING) << "BillingAgent::OnP4StoreReceiptValidated: error: "
                 << Fields(*request, account, receipt) << "], error message: " << message;
    BillingAgent::SendResponse(request, BillingMessageWriter::CreateFailResponse(
                                            request->request_uuid(), ToResultCode(error), message));
    Record(kServiceProviderCommunicationError, request->start_time);
    return;
  }

  switch (JudgeP4Entitlement(entitlement)) {
    case P4EntitlementVerdict::kAccept:
      break;
    case P4EntitlementVerdict::kUseLimitExceeded:
      LOG(WARNING) << "BillingAgent::OnP4StoreReceiptValidated: " << "exceed maximum use_count: "
                   << EntitlementFields(*request, account, receipt, entitlement);
      Answer(request, ValidationResponse::kFailAlreadyProvisioned);
      Record(kAlreadyProvisioned, request->start_time);
      return;
    case P4EntitlementVerdict::kNotConsumable:
      LOG(WARNING) << "BillingAgent::OnP4StoreReceiptValidated: "
                   << "requested entitlement is not consumable: "
                   << Fields(*request, account, receipt) << "], is_consumable["
                   << BoolText(entitlement.is_consumable) << "]";
      Answer(request, ValidationResponse::kFailCancelledReceipt);
      Record(kCancelledReceipt, request->start_time);
      return;
  }

  auto done = [request, entitlement, account, receipt](
                  const BillerDatabase::InsertReceiptResult& result) {
    OnP4StoreReceiptInserted(result, request, entitlement, account, receipt);
  };
  const std::shared_ptr<BillerDatabase> database = the_db_connection;
  if (!database) {
    done(BillerDatabase::kInsertConnectionFailed);
    return;
  }
  database->InsertP4StoreReceipt(
      request->session->client_id(), account.id(), account.service_provider(),
      receipt.GetInteger(kP4ServiceLabelKey), receipt.GetString(kP4EntitlementIdKey),
      receipt.GetString(kP4AuthCodeKey), P4StoreAdapter::GetPlatformArgument().environment,
      static_cast<int64_t>(entitlement.use_count), static_cast<int64_t>(entitlement.use_limit),
      receipt.GetInteger(kP4UseCountKey), done);
}

}  // namespace

void BillingAgent::RequestP4ReceiptValidation(const std::shared_ptr<Request>& request,
                                              const Json& receipt, const PlayerAccount& account) {
  if (!IsWellFormed(receipt)) {
    LOG(WARNING) << "BillingAgent::RequestP4ReceiptValidation: " << "invalid receipt : "
                 << "session[" << request->session << "], receipt[" << receipt.ToString() << "]";
    Answer(request, ValidationResponse::kFailWrongReceipt);
    return;
  }
  auto adapter = P4StoreAdapter::Create(AgentIo());
  const int64_t send_time = MonotonicClock::Now();
  adapter->RequestReceiptValidation(
      receipt.GetString(kP4EntitlementIdKey), receipt.GetInteger(kP4UseCountKey),
      receipt.GetInteger(kP4ServiceLabelKey), receipt.GetString(kP4AuthCodeKey),
      [request, account, receipt, send_time](const boost::system::error_code& error,
                                             const Entitlement& entitlement) {
        OnP4StoreReceiptValidated(request, account, receipt, send_time, error, entitlement);
      });
}

}  // namespace tvx
