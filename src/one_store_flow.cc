// The OneStore validation flow: obtains an access token for the session's
// OneStore client, asks OneStore for the purchase the receipt names (each
// step retried while OneStore cannot be reached), records a valid purchase
// once, and answers. Every request goes to the host that
// biller_use_one_store_test_server names when it is made.
#include "framework/billing_store.h"
#include "src/billing_agent.h"
#include "src/billing_service.h"
#include "src/one_store_adapter.h"
#include "src/store_flow.h"

namespace tvx {
namespace {

using Rvr = OneStoreAdapter::ReceiptValidationResponse;

constexpr TokenStore kOneStore = {
    {"[OneStore] ", kOneStoreName, &the_one_store_statistics, false,
     "BillingAgent::OnOneStoreReceiptInserted called"},
    {"Failed to get OneStore API access token, retry after ",
     "Getting OneStore OAuth API access token was not successful", false},
    {"Failed to validate OneStore receipt, retry after ",
     "[OneStore] Error occurred while communicating with OneStore server", true},
    "OneStore",
    "Invalid OneStore receipt found",
    "Validating OneStore receipt: ",
    "OneStoreAdapter",
    "OneStore",
    false,
    {kOneStorePurchaseIdKey, kOneStorePackageNameKey, kOneStoreProductIdKey}};

void Insert(const Flow& flow, const Rvr& response) {
  auto row = flow->NewRow<OneStoreReceiptRow>();
  row.consumption_state = response.consumption_state;
  row.purchase_state = response.purchase_state;
  row.purchase_time = response.purchase_time;
  row.is_test = FLAGS_biller_use_one_store_test_server;
  const Json& receipt = flow->receipt();
  row.purchase_id = receipt.GetString(kOneStorePurchaseIdKey);
  row.package_name = receipt.GetString(kOneStorePackageNameKey);
  row.product_id = receipt.GetString(kOneStoreProductIdKey);
  flow->InsertThenAnswer(&BillerDatabase::InsertOneStoreReceipt, row,
                         {response.receipt, nullptr, nullptr});
}

}  // namespace

void BillingAgent::RequestOneStoreAccessToken(ValidationStart start) {
  // The host is the one the flag names when each request is made.
  RunTokenStore(kOneStore,
                AdapterCalls<OneStoreAdapter>(&ClientSession::os_token_key, Insert,
                                              &FLAGS_biller_use_one_store_test_server),
                std::move(start));
}

}  // namespace tvx
