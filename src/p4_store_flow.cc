// The PlayStation4 validation flow.
#include "src/billing_agent.h"
#include "src/store_flow_stub.h"

namespace tvx {

void BillingAgent::RequestP4ReceiptValidation(const std::shared_ptr<Request>& request,
                                  const Json& /*receipt*/, const PlayerAccount& /*account*/) {
  RefuseStoreNotInBuild(request, "PlayStation4");
}

}  // namespace tvx
