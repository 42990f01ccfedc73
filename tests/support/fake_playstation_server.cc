#include "tests/support/fake_playstation_server.h"

#include <openssl/evp.h>

namespace tvx::testing {
namespace {

constexpr char kEntitlementService[] = "/entitlement-service";

FakeResponse Error(int status, const std::string& text) {
  return FakeResponse::Json(status, JsonObject({{"error", text}}));
}

}  // namespace

FakePlayStation::FakePlayStation(FakeHttpServer* server, std::string environment)
    : server_(server), environment_(std::move(environment)) {
  server_->Route("POST", Path(kToken), [this](const FakeRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto form = request.Form();
    if (authorization_.empty() || request.Header("authorization") != authorization_) {
      return Error(401, "invalid_client");
    }
    if (request.Header("content-type") != "application/x-www-form-urlencoded" ||
        form["grant_type"] != "authorization_code" || form["redirect_uri"] != "orbis://games" ||
        auth_codes_.count(form["code"]) == 0) {
      return Error(400, "invalid_grant");
    }
    const std::string token = "token-" + std::to_string(issued_tokens_.size() + 1);
    issued_tokens_.insert(token);
    return FakeResponse::Json(200, JsonObject({{"access_token", token}, {"expires_in", 3599}}));
  });
  server_->Route("GET", Path(kBaseUrl), [this](const FakeRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!IsIssuedBearer(request)) return Error(401, "invalid_token");
    return FakeResponse::Json(
        200, JsonObject({{"url", server_->Url("/psn/" + environment_ + kEntitlementService)}}));
  });
  server_->RoutePrefix("GET", Path(kEntitlement), [this](const FakeRequest& request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!IsIssuedBearer(request)) return Error(401, "invalid_token");
    }
    const std::string id = FormDecode(request.path.substr(Path(kEntitlement).size()));
    const std::string query = request.target.substr(request.path.size());
    return entitlements_.Next(id + query).value_or(Error(404, "entitlement not found"));
  });
}

std::string FakePlayStation::Path(Step step) const {
  const std::string prefix = "/psn/" + environment_;
  switch (step) {
    case kToken:
      return prefix + "/2.0/oauth/token";
    case kBaseUrl:
      return prefix + "/asm/v1/apps/me/baseUrls/entitlement";
    case kEntitlement:
      return prefix + kEntitlementService + "/v1/users/me/entitlements/";
  }
  return "";
}

void FakePlayStation::AddEndpoints(tvx::Json* endpoints) const {
  endpoints->SetString("p4_" + environment_ + "_token_url", server_->Url(Path(kToken)));
  endpoints->SetString("p4_" + environment_ + "_base_url_service",
                       server_->Url("/psn/" + environment_ + "/asm/v1/apps/me/baseUrls/"));
}

void FakePlayStation::SetClient(const std::string& client_id, const std::string& secret) {
  // Encoded here independently of the code under test.
  const std::string text = client_id + ":" + secret;
  std::string encoded(4 * ((text.size() + 2) / 3) + 1, '\0');
  encoded.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size())));
  std::lock_guard<std::mutex> lock(mutex_);
  authorization_ = "Basic " + encoded;
}

void FakePlayStation::AddAuthCode(const std::string& code) {
  std::lock_guard<std::mutex> lock(mutex_);
  auth_codes_.insert(code);
}

void FakePlayStation::ScriptEntitlement(const std::string& id, int64_t service_label,
                                        std::vector<FakeResponse> answers) {
  entitlements_.Set(id + "?service_label=" + std::to_string(service_label), std::move(answers));
}

tvx::Json FakePlayStation::Entitlement(const std::string& id, bool is_consumable, int64_t use_count,
                                       int64_t use_limit) {
  return JsonObject({{"id", id},
                     {"is_consumable", is_consumable},
                     {"use_count", use_count},
                     {"use_limit", use_limit}});
}

bool FakePlayStation::IsIssuedBearer(const FakeRequest& request) const {
  const std::string header = request.Header("authorization");
  return header.rfind("Bearer ", 0) == 0 && issued_tokens_.count(header.substr(7)) > 0;
}

}  // namespace tvx::testing
