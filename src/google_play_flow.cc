// The Google Play validation flow: obtains an access token for the session's
// Google account, asks Google for the purchase the receipt names (each step
// retried while Google cannot be reached), records a purchased receipt once,
// writes its Purchase record, and answers.
#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/google_play_adapter.h"
#include "src/log_text.h"
#include "src/purchase_log.h"
#include "src/store_flow.h"
#include "src/token_query.h"

namespace tvx {
namespace {

using Rvr = GooglePlayAdapter::ReceiptValidationResponse;

constexpr StoreTraits kGooglePlay = {"[Google PlayStore] ", kGooglePlayName,
                                     &the_google_play_statistics, false,
                                     "BillingAgent::OnGooglePlayReceiptInserted called"};

constexpr RetryStep kTokenStep = {"Failed to get Google API access token, retry after ",
                                  "Getting Google API access token was not successful", false};
constexpr RetryStep kReceiptStep = {
    "Failed to validate Google receipt, retry after ",
    "[Google PlayStore] Error occurred while communicating with Google PlayStore server", true};

void Insert(const Flow& flow, const Rvr& response) {
  const Json& receipt = flow->receipt();
  GooglePlayReceiptRow row;
  row.owner = flow->owner();
  row.package_name = receipt.GetString(kGooglePlayPackageNameKey);
  row.product_id = receipt.GetString(kGooglePlayProductIdKey);
  row.purchase_token = receipt.GetString(kGooglePlayPurchaseTokenKey);
  row.kind = response.kind;
  row.purchase_time_millis = response.purchase_time_millis;
  row.purchase_time_zone = "UTC";
  row.purchase_state = response.purchase_state;
  row.consumption_state = response.not_consumed;
  row.order_id = response.order_id;
  row.acknowledgement_state = response.acknowledgement_state;
  row.purchase_type = response.purchase_type;
  auto log_purchase = [flow, row] {
    flow->LogPurchase(row.product_id, 1, EpochSecondsOfMillisText(row.purchase_time_millis), "UTC");
  };
  flow->InsertThenAnswer(&BillerDatabase::InsertGooglePlayReceipt2, row,
                         {response.receipt, log_purchase, nullptr});
}

void RequestPurchase(const Flow& flow) {
  if (flow->RefuseWithoutTexts(
          {kGooglePlayPackageNameKey, kGooglePlayProductIdKey, kGooglePlayPurchaseTokenKey},
          "Invalid Google Play receipt found")) {
    return;
  }
  // Every attempt takes the token the cache holds then; one Google rejects
  // (revoked, expired early) is renewed once before its word is taken.
  const AccessTokenKey key = flow->request()->session->gp_token_key();
  TokenQuery<Rvr> query;
  query.get_token = [key](AccessTokenCallback callback) {
    GooglePlayAdapter::GetCachedAccessToken(key, std::move(callback));
  };
  query.drop_token = [key](const std::string& token) {
    GooglePlayAdapter::InvalidateAccessToken(key, token);
  };
  query.query = [flow](const std::string& access_token, StoreFlow::Completion<Rvr> done) {
    flow->LogAsking("Validating Google receipt: ", {kGooglePlayPackageNameKey,
                                                    kGooglePlayProductIdKey,
                                                    kGooglePlayPurchaseTokenKey});
    const Json& receipt = flow->receipt();
    GooglePlayAdapter::Create(AgentIo())->RequestReceiptValidation(
        receipt.GetString(kGooglePlayPackageNameKey), receipt.GetString(kGooglePlayProductIdKey),
        receipt.GetString(kGooglePlayPurchaseTokenKey), access_token, std::move(done));
  };
  flow->AskWithToken<Rvr>(kReceiptStep, std::move(query), [flow](const Rvr& response) {
    if (!flow->RefusePurchase(response, "GooglePlayAdapter", "Google Play", true)) {
      Insert(flow, response);
    }
  });
}

}  // namespace

void BillingAgent::RequestGooglePlayAccessToken(
    const std::shared_ptr<Request>& request, const Json& receipt, const PlayerAccount& account,
    const std::shared_ptr<ExponentialBackoff>& back_off) {
  auto flow = std::make_shared<const StoreFlow>(kGooglePlay, request, receipt, account, back_off);
  flow->RequestToken(
      kTokenStep, request->session->gp_token_key().account, "GooglePlay",
      [flow](AccessTokenCallback callback) {
        GooglePlayAdapter::GetCachedAccessToken(flow->request()->session->gp_token_key(),
                                                std::move(callback));
      },
      [flow] { RequestPurchase(flow); });
}

}  // namespace tvx
