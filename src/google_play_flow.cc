// The Google Play validation flow: obtains an access token for the session's
// Google account, asks Google for the purchase the receipt names (each step
// retried while Google cannot be reached), records a purchased receipt once,
// writes its Purchase record, and answers.
#include "framework/billing_store.h"
#include "src/billing_agent.h"
#include "src/google_play_adapter.h"
#include "src/purchase_log.h"
#include "src/store_flow.h"

namespace tvx {
namespace {

using Rvr = GooglePlayAdapter::ReceiptValidationResponse;

constexpr TokenStore kGooglePlay = {
    {"[Google PlayStore] ", kGooglePlayName, &the_google_play_statistics, false,
     "BillingAgent::OnGooglePlayReceiptInserted called"},
    {"Failed to get Google API access token, retry after ",
     "Getting Google API access token was not successful", false},
    {"Failed to validate Google receipt, retry after ",
     "[Google PlayStore] Error occurred while communicating with Google PlayStore server", true},
    "GooglePlay",
    "Invalid Google Play receipt found",
    "Validating Google receipt: ",
    "GooglePlayAdapter",
    "Google Play",
    true,
    {kGooglePlayPackageNameKey, kGooglePlayProductIdKey, kGooglePlayPurchaseTokenKey}};

void Insert(const Flow& flow, const Rvr& response) {
  auto row = flow->NewRow<GooglePlayReceiptRow>();
  row.kind = response.kind;
  row.purchase_time_millis = response.purchase_time_millis;
  row.purchase_time_zone = "UTC";
  row.purchase_state = response.purchase_state;
  row.consumption_state = response.not_consumed;
  row.order_id = response.order_id;
  row.acknowledgement_state = response.acknowledgement_state;
  row.purchase_type = response.purchase_type;
  const Json& receipt = flow->receipt();
  row.package_name = receipt.GetString(kGooglePlayPackageNameKey);
  row.product_id = receipt.GetString(kGooglePlayProductIdKey);
  row.purchase_token = receipt.GetString(kGooglePlayPurchaseTokenKey);
  auto log_purchase = [flow, row] {
    flow->LogPurchase(row.product_id, 1, EpochSecondsOfMillisText(row.purchase_time_millis), "UTC");
  };
  flow->InsertThenAnswer(&BillerDatabase::InsertGooglePlayReceipt2, row,
                         {response.receipt, log_purchase, nullptr});
}

}  // namespace

void BillingAgent::RequestGooglePlayAccessToken(ValidationStart start) {
  RunTokenStore(kGooglePlay, AdapterCalls<GooglePlayAdapter>(&ClientSession::gp_token_key, Insert),
                std::move(start));
}

}  // namespace tvx
