#include "tests/support/fake_playstation_server.h"

#include <openssl/evp.h>

namespace tvx::testing {
namespace {

constexpr char kEntitlementService[] = "/entitlement-service";
constexpr char kEntitlementsPath[] = "/v1/users/me/entitlements/";

FakeResponse Error(int status, const std::string& text) {
  tvx::Json error = tvx::Json::Object();
  error.SetString("error", text);
  return FakeResponse::Json(status, error);
}

// The text of a "Basic" authorization, decoded independently of the code
// under test; empty when it is not one.
std::string DecodeBasic(const std::string& header) {
  const std::string prefix = "Basic ";
  if (header.rfind(prefix, 0) != 0) return "";
  const std::string text = header.substr(prefix.size());
  if (text.empty() || text.size() % 4 != 0) return "";
  std::string bytes(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return "";
  size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text[text.size() - 2] == '=') ++padding;
  bytes.resize(static_cast<size_t>(length) - padding);
  return bytes;
}

}  // namespace

FakePlayStation::FakePlayStation(FakeHttpServer* server, std::string environment)
    : server_(server), prefix_("/psn/" + environment) {
  server_->Route("POST", Path(kToken), [this](const FakeRequest& r) { return OnToken(r); });
  server_->Route("GET", Path(kBaseUrl), [this](const FakeRequest& r) { return OnBaseUrl(r); });
  server_->RoutePrefix("GET", Path(kEntitlement),
                       [this](const FakeRequest& r) { return OnEntitlement(r); });
}

std::string FakePlayStation::Path(Step step) const {
  switch (step) {
    case kToken:
      return prefix_ + "/2.0/oauth/token";
    case kBaseUrl:
      return prefix_ + "/asm/v1/apps/me/baseUrls/entitlement";
    case kEntitlement:
      return prefix_ + kEntitlementService + kEntitlementsPath;
  }
  return "";
}

std::string FakePlayStation::token_url() const { return server_->Url(Path(kToken)); }

std::string FakePlayStation::base_url_service() const {
  return server_->Url(prefix_ + "/asm/v1/apps/me/baseUrls/");
}

void FakePlayStation::AddEndpoints(tvx::Json* endpoints) const {
  const std::string environment = prefix_.substr(prefix_.rfind('/') + 1);
  endpoints->SetString("p4_" + environment + "_token_url", token_url());
  endpoints->SetString("p4_" + environment + "_base_url_service", base_url_service());
}

void FakePlayStation::SetClient(const std::string& client_id, const std::string& secret) {
  std::lock_guard<std::mutex> lock(mutex_);
  client_ = client_id + ":" + secret;
}

void FakePlayStation::AddAuthCode(const std::string& code) {
  std::lock_guard<std::mutex> lock(mutex_);
  auth_codes_.insert(code);
}

void FakePlayStation::AddEntitlement(const std::string& id, int64_t service_label,
                                     const tvx::Json& entitlement) {
  std::lock_guard<std::mutex> lock(mutex_);
  entitlements_[{id, service_label}] = entitlement;
}

tvx::Json FakePlayStation::Entitlement(const std::string& id, bool is_consumable,
                                       int64_t use_count, int64_t use_limit) {
  tvx::Json entitlement = tvx::Json::Object();
  entitlement.SetString("id", id);
  entitlement.SetString("entitlement_type", is_consumable ? "consumable" : "service");
  entitlement.SetAttribute("is_consumable", is_consumable);
  entitlement.SetAttribute("use_count", use_count);
  entitlement.SetAttribute("use_limit", use_limit);
  entitlement.SetString("active_date", "2024-01-01T00:00:00Z");
  return entitlement;
}

void FakePlayStation::Override(Step step, std::optional<FakeResponse> answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (answer) {
    overrides_[step] = *answer;
  } else {
    overrides_.erase(step);
  }
}

int FakePlayStation::RequestCount(Step step) const { return server_->RequestCount(Path(step)); }

std::vector<FakeRequest> FakePlayStation::Requests(Step step) const {
  return server_->Requests(Path(step));
}

bool FakePlayStation::IsIssuedBearer(const FakeRequest& request) const {
  const std::string header = request.Header("authorization");
  const std::string prefix = "Bearer ";
  return header.rfind(prefix, 0) == 0 && issued_tokens_.count(header.substr(prefix.size())) > 0;
}

FakeResponse FakePlayStation::OnToken(const FakeRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = overrides_.find(kToken); it != overrides_.end()) return it->second;
  if (client_.empty() || DecodeBasic(request.Header("authorization")) != client_) {
    return Error(401, "invalid_client");
  }
  if (request.Header("content-type") != "application/x-www-form-urlencoded") {
    return Error(400, "invalid_request");
  }
  auto form = request.Form();
  if (form["grant_type"] != "authorization_code" || form["redirect_uri"] != "orbis://games" ||
      auth_codes_.count(form["code"]) == 0) {
    return Error(400, "invalid_grant");
  }
  const std::string token = "token-" + std::to_string(issued_tokens_.size() + 1);
  issued_tokens_.insert(token);
  tvx::Json answer = tvx::Json::Object();
  answer.SetString("access_token", token);
  answer.SetString("token_type", "bearer");
  answer.SetAttribute("expires_in", 3599);
  answer.SetString("scope", "psn:s2s");
  return FakeResponse::Json(200, answer);
}

FakeResponse FakePlayStation::OnBaseUrl(const FakeRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = overrides_.find(kBaseUrl); it != overrides_.end()) return it->second;
  if (!IsIssuedBearer(request)) return Error(401, "invalid_token");
  tvx::Json answer = tvx::Json::Object();
  answer.SetString("url", server_->Url(prefix_ + kEntitlementService));
  return FakeResponse::Json(200, answer);
}

FakeResponse FakePlayStation::OnEntitlement(const FakeRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = overrides_.find(kEntitlement); it != overrides_.end()) return it->second;
  if (!IsIssuedBearer(request)) return Error(401, "invalid_token");
  const std::string id = FormDecode(request.path.substr(Path(kEntitlement).size()));
  const std::string query = request.target.substr(request.path.size());
  const std::string label_prefix = "?service_label=";
  if (query.rfind(label_prefix, 0) != 0) return Error(400, "missing service_label");
  int64_t label = 0;
  try {
    label = std::stoll(query.substr(label_prefix.size()));
  } catch (...) {
    return Error(400, "bad service_label");
  }
  auto it = entitlements_.find({id, label});
  if (it == entitlements_.end()) return Error(404, "entitlement not found");
  return FakeResponse::Json(200, it->second);
}

}  // namespace tvx::testing
