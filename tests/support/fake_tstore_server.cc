#include "tests/support/fake_tstore_server.h"

namespace tvx::testing {
FakeTStore::FakeTStore(FakeHttpServer* server)
    : FakeTwoEndpointStore(server, {"/tstore/iap/digitalsignconfirm.iap", "tstore_production_url"},
                           {"/tstore/iapdev/digitalsignconfirm.iap", "tstore_development_url"},
                           {"txid", "appid", "signdata"}, Refused("1000", "missing required fields"),
                           Refused("9100", "invalid receipt")) {}

tvx::Json FakeTStore::Product(const std::string& appid, const std::string& product_id) {
  return JsonObject({{"log_time", "20240101120000"},
                     {"appid", appid},
                     {"product_id", product_id},
                     {"charge_amount", 1100},
                     {"tid", "tid-" + product_id},
                     {"detail_pname", ""},
                     {"bp_info", ""}});
}

FakeResponse FakeTStore::Confirmed(const std::vector<tvx::Json>& products) {
  return FakeResponse::Json(200, JsonObject({{"status", 0},
                                             {"detail", "0000"},
                                             {"message", "success"},
                                             {"count", static_cast<int64_t>(products.size())},
                                             {"product", JsonArray(products)}}));
}

FakeResponse FakeTStore::Refused(const std::string& detail, const std::string& message) {
  return FakeResponse::Json(200,
                            JsonObject({{"status", 9}, {"detail", detail}, {"message", message}}));
}

}  // namespace tvx::testing
