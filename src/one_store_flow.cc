// The OneStore validation flow.
#include "src/billing_agent.h"
#include "src/store_flow_stub.h"

namespace tvx {

void BillingAgent::RequestOneStoreAccessToken(const std::shared_ptr<Request>& request,
                                  const Json& /*receipt*/, const PlayerAccount& /*account*/,
                                  const std::shared_ptr<ExponentialBackoff>& /*back_off*/) {
  RefuseStoreNotInBuild(request, "OneStore");
}

}  // namespace tvx
