// The PlayStation 4 validation flow: the client claims a number of uses of an
// entitlement; the adapter reads the entitlement from the platform, the flow
// judges its use limit and consumability, records the use once and answers.
// The platform is asked once: this flow never retries.
#include <sstream>

#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/p4_store_adapter.h"
#include "src/store_flow.h"
#include "src/log_text.h"

namespace tvx {
namespace {

using Entitlement = P4StoreAdapter::EntitlementResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kValidated[] = "BillingAgent::OnP4StoreReceiptValidated: ";
constexpr StoreTraits kP4Store = {
    "", kPlayStation4Name, &the_p4store_statistics, false, nullptr,
    {"BillingAgent::OnP4StoreReceiptInserted: success: ",
     "BillingAgent::OnP4StoreReceiptInserted: already provisioned: ",
     "BillingAgent::OnP4StoreReceiptInserted: failed to get database connection: ",
     "BillingAgent::OnP4StoreReceiptInserted: unknown database error: "}};

const char* BoolText(bool value) { return value ? "true" : "false"; }

// "session[...], account id[...], receipt[...".
std::string Fields(const StoreFlow& flow) {
  std::ostringstream fields;
  fields << "session[" << flow.request()->session << "], account id["
         << AccountForLog(flow.account()) << "], receipt[" << JsonForLog(flow.receipt());
  return fields.str();
}

// Fields() followed by the entitlement's limit and consumability.
std::string EntitlementFields(const StoreFlow& flow, const Entitlement& entitlement) {
  std::ostringstream fields;
  fields << Fields(flow) << "], use_limit[" << entitlement.use_limit << "], is_consumable["
         << BoolText(entitlement.is_consumable) << "]";
  return fields.str();
}

bool IsWellFormed(const Json& receipt) {
  return receipt.HasAttribute(kP4EntitlementIdKey, Json::kString) &&
         receipt.HasAttribute(kP4UseCountKey, Json::kInteger) &&
         receipt.HasAttribute(kP4ServiceLabelKey, Json::kInteger) &&
         receipt.HasAttribute(kP4AuthCodeKey, Json::kString);
}

void OnValidated(const Flow& flow, int64_t send_time, const boost::system::error_code& error,
                 const Entitlement& entitlement) {
  flow->Communicated(send_time);
  if (error) {
    const std::string message = DescribeError(error);
    LOG(WARNING) << kValidated << "error: " << Fields(*flow) << "], error message: " << message;
    return flow->Fail(ToResultCode(error), message, kServiceProviderCommunicationError);
  }
  switch (JudgeP4Entitlement(entitlement)) {
    case P4EntitlementVerdict::kAccept:
      break;
    case P4EntitlementVerdict::kUseLimitExceeded:
      LOG(WARNING) << kValidated << "exceed maximum use_count: "
                   << EntitlementFields(*flow, entitlement);
      flow->Answer(ValidationResponse::kFailAlreadyProvisioned);
      flow->Record(kAlreadyProvisioned);
      return;
    case P4EntitlementVerdict::kNotConsumable:
      LOG(WARNING) << kValidated << "requested entitlement is not consumable: " << Fields(*flow)
                   << "], is_consumable[" << BoolText(entitlement.is_consumable) << "]";
      flow->Answer(ValidationResponse::kFailCancelledReceipt);
      flow->Record(kCancelledReceipt);
      return;
  }
  auto row = flow->NewRow<P4StoreReceiptRow>();
  const Json& receipt = flow->receipt();
  row.service_label = receipt.GetInteger(kP4ServiceLabelKey);
  row.entitlement_id = receipt.GetString(kP4EntitlementIdKey);
  row.auth_code = receipt.GetString(kP4AuthCodeKey);
  row.requested_use_count = receipt.GetInteger(kP4UseCountKey);
  row.environment = P4StoreAdapter::GetPlatformArgument().environment;
  row.use_count = entitlement.use_count;
  row.use_limit = entitlement.use_limit;
  // The platform's record is not a receipt a client may have decoded.
  flow->InsertThenAnswer(&BillerDatabase::InsertP4StoreReceipt, row,
                         {std::nullopt, nullptr, [flow, entitlement] {
                            return EntitlementFields(*flow, entitlement);
                          }});
}

}  // namespace

void BillingAgent::RequestP4ReceiptValidation(ValidationStart start) {
  start.back_off = nullptr;
  auto flow = std::make_shared<const StoreFlow>(kP4Store, std::move(start));
  const Json& receipt = flow->receipt();
  if (!IsWellFormed(receipt)) {
    LOG(WARNING) << "BillingAgent::RequestP4ReceiptValidation: " << "invalid receipt : "
                 << "session[" << flow->request()->session << "], receipt["
                 << JsonForLog(receipt) << "]";
    flow->Answer(ValidationResponse::kFailWrongReceipt);
    return;
  }
  const int64_t send_time = MonotonicClock::Now();
  P4StoreAdapter::Create(AgentIo())->RequestReceiptValidation(
      receipt.GetString(kP4EntitlementIdKey), receipt.GetInteger(kP4UseCountKey),
      receipt.GetInteger(kP4ServiceLabelKey), receipt.GetString(kP4AuthCodeKey),
      [flow, send_time](const boost::system::error_code& error, const Entitlement& entitlement) {
        OnValidated(flow, send_time, error, entitlement);
      });
}

}  // namespace tvx
