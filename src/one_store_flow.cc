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
#include "src/log_text.h"
#include "src/one_store_adapter.h"
#include "src/store_flow.h"
#include "src/token_query.h"

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

void RequestPurchase(const Flow& flow) {
  if (flow->RefuseWithoutTexts({kOneStorePurchaseIdKey, kOneStorePackageNameKey,
                                kOneStoreProductIdKey},
                               "Invalid OneStore receipt found")) {
    return;
  }
  // Every attempt takes the token the cache holds then; one OneStore
  // rejects is renewed once before its word is taken.
  const AccessTokenKey key = flow->request()->session->os_token_key();
  TokenQuery<Rvr> query;
  query.get_token = [key](AccessTokenCallback callback) {
    OneStoreAdapter::GetCachedAccessToken(key, FLAGS_biller_use_one_store_test_server,
                                          std::move(callback));
  };
  query.drop_token = [key](const std::string& token) {
    OneStoreAdapter::InvalidateAccessToken(key, token);
  };
  query.query = [flow](const std::string& access_token, StoreFlow::Completion<Rvr> done) {
    flow->LogAsking("Validating OneStore receipt: ",
                    {kOneStorePurchaseIdKey, kOneStorePackageNameKey, kOneStoreProductIdKey});
    const Json& receipt = flow->receipt();
    OneStoreAdapter::Create(AgentIo())->RequestReceiptValidation(
        receipt.GetString(kOneStorePurchaseIdKey), receipt.GetString(kOneStorePackageNameKey),
        receipt.GetString(kOneStoreProductIdKey), access_token,
        FLAGS_biller_use_one_store_test_server, std::move(done));
  };
  flow->AskWithToken<Rvr>(kReceiptStep, std::move(query), [flow](const Rvr& response) {
    if (!flow->RefusePurchase(response, "OneStoreAdapter", "OneStore", false)) {
      Insert(flow, response);
    }
  });
}

}  // namespace

void BillingAgent::RequestOneStoreAccessToken(const std::shared_ptr<Request>& request,
                                              const Json& receipt, const PlayerAccount& account,
                                              const std::shared_ptr<ExponentialBackoff>& back_off) {
  auto flow = std::make_shared<const StoreFlow>(kOneStore, request, receipt, account, back_off);
  flow->RequestToken(
      kTokenStep, request->session->os_token_key().account, "OneStore",
      [flow](AccessTokenCallback callback) {
        OneStoreAdapter::GetCachedAccessToken(flow->request()->session->os_token_key(),
                                              FLAGS_biller_use_one_store_test_server,
                                              std::move(callback));
      },
      [flow] { RequestPurchase(flow); });
}

}  // namespace tvx
