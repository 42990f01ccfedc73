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
  return JsonObject({{"quantity", quantity},
                     {"product_id", product_id},
                     {"transaction_id", transaction_id},
                     {"original_transaction_id", transaction_id},
                     {"purchase_date", purchase_date},
                     {"purchase_date_ms", "1551774276000"},
                     {"original_purchase_date", purchase_date},
                     {"is_trial_period", "false"}});
}

FakeResponse FakeAppleStore::Verified(const std::vector<tvx::Json>& in_app) {
  const tvx::Json receipt = JsonObject(
      {{"receipt_type", "Production"}, {"bundle_id", "com.example.game"}, {"in_app", JsonArray(in_app)}});
  return FakeResponse::Json(
      200, JsonObject({{"status", 0}, {"environment", "Production"}, {"receipt", receipt}}));
}

FakeResponse FakeAppleStore::Status(int64_t status) {
  return FakeResponse::Json(200, JsonObject({{"status", status}}));
}

}  // namespace tvx::testing
