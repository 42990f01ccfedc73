#include "tests/support/fake_tstore_server.h"

namespace tvx::testing {
namespace {

bool IsWellFormed(const FakeRequest& request, tvx::Json* body) {
  if (request.Header("content-type") != "application/json" || !body->FromString(request.body) ||
      !body->IsObject() || body->Size() != 3) {
    return false;
  }
  for (const char* name : {"txid", "appid", "signdata"}) {
    if (!body->HasAttribute(name, tvx::Json::kString)) return false;
  }
  return true;
}

}  // namespace

FakeTStore::FakeTStore(FakeHttpServer* server)
    : FakeTwoEndpointStore(
          server, "/tstore/iap/digitalsignconfirm.iap", "/tstore/iapdev/digitalsignconfirm.iap",
          [](const FakeRequest& request, ScriptedAnswers& script) {
            tvx::Json body;
            if (!IsWellFormed(request, &body)) {
              return Refused("1000", "missing required fields");
            }
            return script.Next(body.GetString("txid")).value_or(Refused("9100", "invalid receipt"));
          }) {}

void FakeTStore::AddEndpoints(tvx::Json* endpoints) const {
  endpoints->SetString("tstore_production_url", url(kProduction));
  endpoints->SetString("tstore_development_url", url(kDevelopment));
}

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
