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
#include "src/purchase_log.h"
#include "src/store_flow.h"

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

void OnPurchase(const Flow& flow, const Rvr& response) {
  if (response.code == Rvr::kFailure) return flow->Refuse(kRefuseInvalid);
  if (response.code != Rvr::kSuccess) {
    LOG(FATAL) << "Assert failed: response.code == GooglePlayAdapter::ReceiptValidationResponse"
               << "::kSuccess";
  }
  if (response.purchase_state == 1) return flow->Refuse(kRefuseCancelled);
  if (response.purchase_state == 2) return flow->Refuse(kRefusePending);
  LOG(INFO) << "Validating Google Play receipt was successful, Now updating the data";
  Insert(flow, response);
}

void RequestPurchase(const Flow& flow, const std::string& access_token) {
  if (flow->RefuseWithoutTexts(
          {kGooglePlayPackageNameKey, kGooglePlayProductIdKey, kGooglePlayPurchaseTokenKey},
          "Invalid Google Play receipt found")) {
    return;
  }
  // A retry keeps the token: it was valid, Google was what failed.
  auto ask = [flow, access_token](StoreFlow::Completion<Rvr> done) {
    const Json& receipt = flow->receipt();
    const std::string package_name = receipt.GetString(kGooglePlayPackageNameKey);
    const std::string product_id = receipt.GetString(kGooglePlayProductIdKey);
    const std::string purchase_token = receipt.GetString(kGooglePlayPurchaseTokenKey);
    LOG(INFO) << "Validating Google receipt: package_name=" << package_name
              << ", product_id=" << product_id << ", purchase_token=" << purchase_token
              << ", try_count=" << flow->back_off()->try_count();
    GooglePlayAdapter::Create(AgentIo())->RequestReceiptValidation(
        package_name, product_id, purchase_token, access_token, std::move(done));
  };
  flow->Ask<Rvr>(kReceiptStep, ask, [flow](const Rvr& response) { OnPurchase(flow, response); });
}

void RequestToken(const Flow& flow) {
  const std::string client_id = flow->request()->session->gp_client_id();
  if (flow->first_attempt() && flow->RefuseWithoutClientId(client_id, "GooglePlay")) return;
  GooglePlayAdapter::GetAccessToken(
      client_id, [flow](const std::string& access_token, const boost::system::error_code& error) {
        flow->AfterToken(kTokenStep, error, [flow] { RequestToken(flow); },
                         [&] { RequestPurchase(flow, access_token); });
      });
}

}  // namespace

void BillingAgent::RequestGooglePlayAccessToken(
    const std::shared_ptr<Request>& request, const Json& receipt, const PlayerAccount& account,
    const std::shared_ptr<ExponentialBackoff>& back_off) {
  RequestToken(std::make_shared<const StoreFlow>(kGooglePlay, request, receipt, account, back_off));
}

}  // namespace tvx
