#include "tests/support/fake_apple_server.h"

namespace tvx::testing {

FakeAppleStore::FakeAppleStore(FakeHttpServer* server)
    : FakeTwoEndpointStore(
          server, "/apple/buy/verifyReceipt", "/apple/sandbox/verifyReceipt",
          [](const FakeRequest& request, ScriptedAnswers& script) {
            tvx::Json body;
            if (request.Header("content-type") != "application/json" ||
                !body.FromString(request.body) || !body.IsObject() || body.Size() != 1 ||
                !body.HasAttribute("receipt-data", tvx::Json::kString)) {
              return Status(kMalformedRequest);
            }
            return script.Next(body.GetString("receipt-data")).value_or(Status(kMalformedRequest));
          }) {}

void FakeAppleStore::AddEndpoints(tvx::Json* endpoints) const {
  endpoints->SetString("apple_production_url", url(kProduction));
  endpoints->SetString("apple_sandbox_url", url(kSandbox));
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
