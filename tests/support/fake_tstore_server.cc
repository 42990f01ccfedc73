#include "tests/support/fake_tstore_server.h"

namespace tvx::testing {
namespace {

const char* const kPaths[] = {"/tstore/iap/digitalsignconfirm.iap",
                              "/tstore/iapdev/digitalsignconfirm.iap"};

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

FakeTStore::FakeTStore(FakeHttpServer* server) : server_(server) {
  for (Endpoint endpoint : {kProduction, kDevelopment}) {
    server_->Route("POST", kPaths[endpoint], [this, endpoint](const FakeRequest& request) {
      return Answer(endpoint, request);
    });
  }
}

std::string FakeTStore::url(Endpoint endpoint) const { return server_->Url(kPaths[endpoint]); }

void FakeTStore::AddEndpoints(tvx::Json* endpoints) const {
  endpoints->SetString("tstore_production_url", url(kProduction));
  endpoints->SetString("tstore_development_url", url(kDevelopment));
}

void FakeTStore::Script(Endpoint endpoint, const std::string& txid,
                        std::vector<FakeResponse> answers) {
  scripts_[endpoint].Set(txid, std::move(answers));
}

int FakeTStore::RequestCount(Endpoint endpoint) const {
  return server_->RequestCount(kPaths[endpoint]);
}

std::vector<FakeRequest> FakeTStore::Requests(Endpoint endpoint) const {
  std::vector<FakeRequest> requests;
  for (FakeRequest& request : server_->Requests()) {
    if (request.path == kPaths[endpoint]) requests.push_back(std::move(request));
  }
  return requests;
}

FakeResponse FakeTStore::Answer(Endpoint endpoint, const FakeRequest& request) {
  tvx::Json body;
  if (!IsWellFormed(request, &body)) return Refused("1000", "missing required fields");
  if (auto answer = scripts_[endpoint].Next(body.GetString("txid"))) return *answer;
  return Refused("9100", "invalid receipt");
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
