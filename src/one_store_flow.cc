// The OneStore validation flow: obtains an access token for the session's
// OneStore client, asks OneStore for the purchase the receipt names (each
// step retried while OneStore cannot be reached), records a valid purchase
// once, and answers. Every request goes to the host that
// biller_use_one_store_test_server names when it is made.
#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_service.h"
#include "src/one_store_adapter.h"
#include "src/store_flow.h"

namespace tvx {
namespace {

using Rvr = OneStoreAdapter::ReceiptValidationResponse;

constexpr StoreTraits kOneStore = {"[OneStore] ", kOneStoreName, &the_one_store_statistics, false,
                                   "BillingAgent::OnOneStoreReceiptInserted called"};

constexpr RetryStep kTokenStep = {"Failed to get OneStore API access token, retry after ",
                                  "Getting OneStore OAuth API access token was not successful",
                                  false};
constexpr RetryStep kReceiptStep = {
    "Failed to validate OneStore receipt, retry after ",
    "[OneStore] Error occurred while communicating with OneStore server", true};

void Insert(const Flow& flow, const Rvr& response) {
  const Json& receipt = flow->receipt();
  OneStoreReceiptRow row;
  row.owner = flow->owner();
  row.is_test = FLAGS_biller_use_one_store_test_server;
  row.purchase_id = receipt.GetString(kOneStorePurchaseIdKey);
  row.package_name = receipt.GetString(kOneStorePackageNameKey);
  row.product_id = receipt.GetString(kOneStoreProductIdKey);
  row.consumption_state = response.consumption_state;
  row.purchase_state = response.purchase_state;
  row.purchase_time = response.purchase_time;
  flow->InsertThenAnswer(&BillerDatabase::InsertOneStoreReceipt, row,
                         {response.receipt, nullptr, nullptr});
}

void OnPurchase(const Flow& flow, const Rvr& response) {
  if (response.code == Rvr::kFailure) return flow->Refuse(kRefuseInvalid);
  if (response.code != Rvr::kSuccess) {
    LOG(FATAL) << "Assert failed: response.code == OneStoreAdapter::ReceiptValidationResponse"
               << "::kSuccess";
  }
  if (response.purchase_state == 1) return flow->Refuse(kRefuseCancelled);
  LOG(INFO) << "Validating OneStore receipt was successful, Now updating the data";
  Insert(flow, response);
}

void RequestPurchase(const Flow& flow, const std::string& access_token) {
  if (flow->RefuseWithoutTexts({kOneStorePurchaseIdKey, kOneStorePackageNameKey,
                                kOneStoreProductIdKey},
                               "Invalid OneStore receipt found")) {
    return;
  }
  // A retry keeps the token: it was valid, OneStore was what failed.
  auto ask = [flow, access_token](StoreFlow::Completion<Rvr> done) {
    const Json& receipt = flow->receipt();
    const std::string purchase_id = receipt.GetString(kOneStorePurchaseIdKey);
    const std::string package_name = receipt.GetString(kOneStorePackageNameKey);
    const std::string product_id = receipt.GetString(kOneStoreProductIdKey);
    LOG(INFO) << "Validating OneStore receipt: purchase_id=" << purchase_id
              << ", package_name=" << package_name << ", product_id=" << product_id
              << ", try_count=" << flow->back_off()->try_count();
    OneStoreAdapter::Create(AgentIo())->RequestReceiptValidation(
        purchase_id, package_name, product_id, access_token,
        FLAGS_biller_use_one_store_test_server, std::move(done));
  };
  flow->Ask<Rvr>(kReceiptStep, ask, [flow](const Rvr& response) { OnPurchase(flow, response); });
}

void RequestToken(const Flow& flow) {
  const std::string client_id = flow->request()->session->os_client_id();
  if (flow->first_attempt() && flow->RefuseWithoutClientId(client_id, "OneStore")) return;
  OneStoreAdapter::GetAccessToken(
      client_id, FLAGS_biller_use_one_store_test_server,
      [flow](const std::string& access_token, const boost::system::error_code& error) {
        flow->AfterToken(kTokenStep, error, [flow] { RequestToken(flow); },
                         [&] { RequestPurchase(flow, access_token); });
      });
}

}  // namespace

void BillingAgent::RequestOneStoreAccessToken(const std::shared_ptr<Request>& request,
                                              const Json& receipt, const PlayerAccount& account,
                                              const std::shared_ptr<ExponentialBackoff>& back_off) {
  RequestToken(std::make_shared<const StoreFlow>(kOneStore, request, receipt, account, back_off));
}

}  // namespace tvx
