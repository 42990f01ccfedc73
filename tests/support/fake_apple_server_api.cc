#include "tests/support/fake_apple_server_api.h"

#include <ctime>

namespace tvx::testing {
namespace {

constexpr const char* kPrefixes[] = {"/production", "/sandbox"};
constexpr char kPath[] = "/inApps/v1/transactions/";

Json Error(int64_t code, const char* message) {
  return JsonObject({{"errorCode", code}, {"errorMessage", message}});
}

}  // namespace

FakeAppleServerApi::FakeAppleServerApi(FakeHttpServer* server)
    : server_(server), key_(GenerateEcKeyPair()) {
  for (Environment environment : {kProduction, kSandbox}) {
    server_->RoutePrefix("GET", std::string(kPrefixes[environment]) + kPath,
                         std::bind_front(&FakeAppleServerApi::Answer, this, environment));
  }
}

void FakeAppleServerApi::AddEndpoints(Json* endpoints) const {
  endpoints->SetString("apple_server_api_production_base", server_->Url(kPrefixes[kProduction]));
  endpoints->SetString("apple_server_api_sandbox_base", server_->Url(kPrefixes[kSandbox]));
}

Json FakeAppleServerApi::Argument(const std::string& environment) const {
  return JsonObject({{"issuer_id", kIssuerId},
                     {"key_id", kKeyId},
                     {"bundle_id", kBundleId},
                     {"private_key", key_.private_pem},
                     {"root_certificates", JsonArray({Json(AppleTestPki::Get().root_pem())})},
                     {"environment", environment}});
}

void FakeAppleServerApi::Script(Environment environment, const std::string& transaction_id,
                                std::vector<FakeResponse> answers) {
  scripts_[environment].Set(transaction_id, std::move(answers));
}

int FakeAppleServerApi::RequestCount(Environment environment) const {
  return server_->RequestCount(std::string(kPrefixes[environment]) + kPath);
}

std::vector<std::string> FakeAppleServerApi::Tokens() const { return LockedCopy(mutex_, tokens_); }
std::vector<int64_t> FakeAppleServerApi::ArrivalTimes() const {
  return LockedCopy(mutex_, arrivals_);
}
std::string FakeAppleServerApi::LastRefusal() const { return LockedCopy(mutex_, last_refusal_); }

FakeResponse FakeAppleServerApi::Found(const std::string& signed_transaction) {
  return FakeResponse::Json(200, JsonObject({{"signedTransactionInfo", signed_transaction}}));
}

FakeResponse FakeAppleServerApi::NotFound() {
  return FakeResponse::Json(404, Error(4040010, "Transaction id not found."));
}

FakeResponse FakeAppleServerApi::RateLimited(int64_t retry_after_ms) {
  FakeResponse response = FakeResponse::Json(429, Error(4290000, "Rate limit exceeded."));
  response.headers.emplace_back("Retry-After", std::to_string(retry_after_ms));
  return response;
}

FakeResponse FakeAppleServerApi::Unauthorized() { return FakeResponse::Raw(401); }

// Why Apple would refuse the request's token; "" when it would not.
std::string FakeAppleServerApi::CheckToken(const FakeRequest& request) const {
  DecodedJwt jwt;
  if (!request.Header("authorization").starts_with("Bearer ")) return "no bearer token";
  if (!DecodeJwt(request.Header("authorization").substr(7), &jwt)) return "unreadable JWT";
  if (!VerifyEs256(key_.public_pem, jwt.signing_input, jwt.signature)) return "bad signature";
  if (jwt.header.GetString("alg") != "ES256" || jwt.header.GetString("kid") != kKeyId ||
      jwt.header.GetString("typ") != "JWT") {
    return "wrong header " + jwt.header_text;
  }
  const Json& claims = jwt.claims;
  const int64_t now = std::time(nullptr);
  if (claims.GetString("iss") != kIssuerId || claims.GetString("aud") != "appstoreconnect-v1" ||
      claims.GetString("bid") != kBundleId || !claims.HasAttribute("iat", Json::kInteger) ||
      !claims.HasAttribute("exp", Json::kInteger) ||
      claims.GetInteger("exp") - claims.GetInteger("iat") > 3600 ||
      claims.GetInteger("exp") <= now || claims.GetInteger("iat") > now + 60) {
    return "wrong claims " + jwt.claims_text;
  }
  return std::string();
}

FakeResponse FakeAppleServerApi::Answer(Environment environment, const FakeRequest& request) {
  const std::string transaction_id =
      FormDecode(request.path.substr(std::string(kPrefixes[environment]).size() +
                                     std::string(kPath).size()));
  const std::string refusal = CheckToken(request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string authorization = request.Header("authorization");
    tokens_.push_back(authorization.size() > 7 ? authorization.substr(7) : std::string());
    arrivals_.push_back(NowMillis());
    if (!refusal.empty()) last_refusal_ = refusal;
  }
  if (!refusal.empty()) return Unauthorized();
  return scripts_[environment].Next(transaction_id).value_or(NotFound());
}

}  // namespace tvx::testing
