#include "tests/support/fake_playstation_server.h"

#include <openssl/evp.h>

namespace tvx::testing {
namespace {

constexpr char kTokenPath[] = "/2.0/oauth/token";
constexpr char kBaseUrlPath[] = "/asm/v1/apps/me/baseUrls/";
constexpr char kEntitlementService[] = "/entitlement-service";
constexpr char kEntitlementPath[] = "/entitlement-service/v1/users/me/entitlements/";

FakeResponse Error(int status, const std::string& text) {
  return FakeResponse::Json(status, JsonObject({{"error", text}}));
}

}  // namespace

FakePlayStation::FakePlayStation(FakeHttpServer* server, std::string environment)
    : server_(server), prefix_("/psn/" + environment) {
  server_->Route("POST", prefix_ + kTokenPath, [this](const FakeRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto form = request.Form();
    if (authorization_.empty() || request.Header("authorization") != authorization_) {
      return Error(401, "invalid_client");
    }
    if (request.Header("content-type") != "application/x-www-form-urlencoded" ||
        form["grant_type"] != "authorization_code" || form["redirect_uri"] != "orbis://games" ||
        !auth_codes_.contains(form["code"])) {
      return Error(400, "invalid_grant");
    }
    const std::string token = "token-" + std::to_string(issued_tokens_.size() + 1);
    issued_tokens_.insert(token);
    return FakeResponse::Json(200, JsonObject({{"access_token", token}, {"expires_in", 3599}}));
  });
  server_->Route("GET", prefix_ + kBaseUrlPath + "entitlement", [this](const FakeRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!IsIssuedBearer(request)) return Error(401, "invalid_token");
    return FakeResponse::Json(200,
                              JsonObject({{"url", server_->Url(prefix_ + kEntitlementService)}}));
  });
  server_->RoutePrefix("GET", prefix_ + kEntitlementPath, [this](const FakeRequest& request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!IsIssuedBearer(request)) return Error(401, "invalid_token");
    }
    const std::string id =
        FormDecode(request.path.substr(prefix_.size() + sizeof(kEntitlementPath) - 1));
    const std::string query = request.target.substr(request.path.size());
    return entitlements_.Next(id + query).value_or(Error(404, "entitlement not found"));
  });
}

void FakePlayStation::AddEndpoints(tvx::Json* endpoints) const {
  const std::string environment = prefix_.substr(5);
  endpoints->SetString("p4_" + environment + "_token_url", server_->Url(prefix_ + kTokenPath));
  endpoints->SetString("p4_" + environment + "_base_url_service",
                       server_->Url(prefix_ + kBaseUrlPath));
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
  return header.starts_with("Bearer ") && issued_tokens_.contains(header.substr(7));
}

}  // namespace tvx::testing
