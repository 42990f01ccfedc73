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
  tvx::Json product = tvx::Json::Object();
  product.SetString("log_time", "20240101120000");
  product.SetString("appid", appid);
  product.SetString("product_id", product_id);
  product.SetAttribute("charge_amount", 1100);
  product.SetString("tid", "tid-" + product_id);
  product.SetString("detail_pname", "");
  product.SetString("bp_info", "");
  return product;
}

FakeResponse FakeTStore::Confirmed(const std::vector<tvx::Json>& products) {
  tvx::Json items = tvx::Json::Array();
  for (const tvx::Json& product : products) items.PushBack(product);
  tvx::Json answer = tvx::Json::Object();
  answer.SetAttribute("status", 0);
  answer.SetString("detail", "0000");
  answer.SetString("message", "success");
  answer.SetAttribute("count", static_cast<int64_t>(products.size()));
  answer.SetAttribute("product", items);
  return FakeResponse::Json(200, answer);
}

FakeResponse FakeTStore::Refused(const std::string& detail, const std::string& message) {
  tvx::Json answer = tvx::Json::Object();
  answer.SetAttribute("status", 9);
  answer.SetString("detail", detail);
  answer.SetString("message", message);
  return FakeResponse::Json(200, answer);
}

}  // namespace tvx::testing
