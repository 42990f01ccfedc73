#include "tests/support/fake_apple_server.h"

namespace tvx::testing {

FakeAppleStore::FakeAppleStore(FakeHttpServer* server)
    : FakeTwoEndpointStore(server, {"/apple/buy/verifyReceipt", "apple_production_url"},
                           {"/apple/sandbox/verifyReceipt", "apple_sandbox_url"}, {"receipt-data"},
                           Status(kMalformedRequest), Status(kMalformedRequest)) {}

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
