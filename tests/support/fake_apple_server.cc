#include "tests/support/fake_apple_server.h"

namespace tvx::testing {
namespace {

const char* const kPaths[] = {"/apple/buy/verifyReceipt", "/apple/sandbox/verifyReceipt"};

}  // namespace

FakeAppleStore::FakeAppleStore(FakeHttpServer* server) : server_(server) {
  for (Endpoint endpoint : {kProduction, kSandbox}) {
    server_->Route("POST", kPaths[endpoint], [this, endpoint](const FakeRequest& request) {
      return Answer(endpoint, request);
    });
  }
}

std::string FakeAppleStore::url(Endpoint endpoint) const { return server_->Url(kPaths[endpoint]); }

void FakeAppleStore::AddEndpoints(tvx::Json* endpoints) const {
  endpoints->SetString("apple_production_url", url(kProduction));
  endpoints->SetString("apple_sandbox_url", url(kSandbox));
}

void FakeAppleStore::Script(Endpoint endpoint, const std::string& receipt_data,
                            std::vector<FakeResponse> answers) {
  scripts_[endpoint].Set(receipt_data, std::move(answers));
}

int FakeAppleStore::RequestCount(Endpoint endpoint) const {
  return server_->RequestCount(kPaths[endpoint]);
}

std::vector<FakeRequest> FakeAppleStore::Requests(Endpoint endpoint) const {
  std::vector<FakeRequest> requests;
  for (FakeRequest& request : server_->Requests()) {
    if (request.path == kPaths[endpoint]) requests.push_back(std::move(request));
  }
  return requests;
}

FakeResponse FakeAppleStore::Answer(Endpoint endpoint, const FakeRequest& request) {
  tvx::Json body;
  if (request.Header("content-type") != "application/json" || !body.FromString(request.body) ||
      !body.IsObject() || body.Size() != 1 || !body.HasAttribute("receipt-data", tvx::Json::kString)) {
    return Status(kMalformedRequest);
  }
  if (auto answer = scripts_[endpoint].Next(body.GetString("receipt-data"))) return *answer;
  return Status(kMalformedRequest);
}

tvx::Json FakeAppleStore::Purchase(const std::string& product_id, const std::string& quantity,
                                   const std::string& transaction_id,
                                   const std::string& purchase_date) {
  tvx::Json purchase = tvx::Json::Object();
  purchase.SetString("quantity", quantity);
  purchase.SetString("product_id", product_id);
  purchase.SetString("transaction_id", transaction_id);
  purchase.SetString("original_transaction_id", transaction_id);
  purchase.SetString("purchase_date", purchase_date);
  purchase.SetString("purchase_date_ms", "1551774276000");
  purchase.SetString("original_purchase_date", purchase_date);
  purchase.SetString("is_trial_period", "false");
  return purchase;
}

FakeResponse FakeAppleStore::Verified(const std::vector<tvx::Json>& in_app) {
  tvx::Json purchases = tvx::Json::Array();
  for (const tvx::Json& purchase : in_app) purchases.PushBack(purchase);
  tvx::Json receipt = tvx::Json::Object();
  receipt.SetString("receipt_type", "Production");
  receipt.SetString("bundle_id", "com.example.game");
  receipt.SetAttribute("in_app", purchases);
  tvx::Json answer = tvx::Json::Object();
  answer.SetAttribute("status", 0);
  answer.SetString("environment", "Production");
  answer.SetAttribute("receipt", receipt);
  return FakeResponse::Json(200, answer);
}

FakeResponse FakeAppleStore::Status(int64_t status) {
  tvx::Json answer = tvx::Json::Object();
  answer.SetAttribute("status", status);
  return FakeResponse::Json(200, answer);
}

}  // namespace tvx::testing
