#include "src/google_play_adapter.h"

#include <variant>

#include <glog/logging.h>

#include "framework/json.h"
#include "framework/jwt.h"
#include "src/billing_error.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

constexpr TokenCacheTexts kTexts = {"[Google PlayStore] ", "Google API", "Google Play", "Google"};

// What proves a Google account. An OAuth client has a secret and a refresh
// token; a service account has its private key alone, whose emptiness picks
// the grant. A client presenting other credentials than the cached ones gets
// a new token request, so a wrong key is never vouched for by a token that
// another client's key obtained.
struct GoogleCredentials {
  std::string client_secret;
  std::string refresh_token;
  std::string private_key;
  bool operator==(const GoogleCredentials&) const = default;
};

using GoogleTokenCache = AccessTokenCache<GoogleCredentials, std::monostate>;

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const GoogleCredentials& credentials, const std::monostate& context);

const std::shared_ptr<GoogleTokenCache>& TheTokens() {
  // Never destroyed: refresh timers and requests may still refer to it while
  // the process exits.
  static const auto* const the_tokens =
      new std::shared_ptr<GoogleTokenCache>(std::make_shared<GoogleTokenCache>(kTexts, &Refresh));
  return *the_tokens;
}

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const GoogleCredentials& credentials, const std::monostate& context) {
  auto completion = [client_id, credentials, context](const boost::system::error_code& ec,
                                                      const AccessTokenResponse& response) {
    TheTokens()->OnRefreshed(client_id, credentials, context, ec, response);
  };
  if (credentials.private_key.empty()) {
    GooglePlayAdapter::Create(io)->RequestAccessTokenByRefreshToken(
        client_id, credentials.client_secret, credentials.refresh_token, std::move(completion));
    return;
  }
  std::string jwt;
  if (!GooglePlayAdapter::MakeGooglePlayJwt(credentials.private_key, client_id, &jwt)) {
    LOG(ERROR) << kTexts.tag << "Failed to make JWT.";
    AccessTokenResponse refused;
    refused.code = AccessTokenResponse::kFailure;
    completion(boost::system::error_code(), refused);
    return;
  }
  GooglePlayAdapter::Create(io)->RequestAccessTokenByJwt(client_id, jwt, std::move(completion));
}

// An integer attribute that must hold one of the values [low, high].
bool ReadEnum(const Json& answer, const char* name, int32_t low, int32_t high, int32_t* out) {
  if (!answer.HasAttribute(name, Json::kInteger)) return false;
  const int64_t value = answer.GetInteger(name);
  if (value < low || value > high) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// A string attribute Google may leave out; its absence is worth a warning
// only, as the purchase stays provable without it.
std::string ReadOptionalString(const Json& answer, const char* name, const std::string& body) {
  if (answer.HasAttribute(name, Json::kString)) return answer.GetString(name);
  LOG(WARNING) << kTexts.tag << "Wrong attribute type found: attribute='" << name
               << "', body=" << body;
  return std::string();
}

}  // namespace

void GooglePlayAdapter::SetIoService(std::shared_ptr<IoContext> io_service) {
  TheTokens()->SetIoService(std::move(io_service));
}

void GooglePlayAdapter::Shutdown() { TheTokens()->Shutdown(); }

void GooglePlayAdapter::SetTimerFactoryForTesting(
    std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)> factory) {
  TheTokens()->SetTimerFactory(std::move(factory));
}

void GooglePlayAdapter::GetAccessToken(const std::string& client_id,
                                       const std::string& client_secret,
                                       const std::string& refresh_token,
                                       AccessTokenCallback callback) {
  TheTokens()->Get(client_id, GoogleCredentials{client_secret, refresh_token, std::string()},
                   std::monostate(), std::move(callback));
}

void GooglePlayAdapter::GetAccessToken(const std::string& private_key,
                                       const std::string& client_email,
                                       AccessTokenCallback callback) {
  TheTokens()->Get(client_email, GoogleCredentials{std::string(), std::string(), private_key},
                   std::monostate(), std::move(callback));
}

void GooglePlayAdapter::GetAccessToken(const std::string& client_id, AccessTokenCallback callback) {
  if (!TheTokens()->GetByKey(client_id, std::monostate(), std::move(callback))) {
    LOG(FATAL) << "Assert failed: itr != the_tokens.end()";
  }
}

std::shared_ptr<GooglePlayAdapter> GooglePlayAdapter::Create(std::shared_ptr<IoContext> io_service) {
  return std::shared_ptr<GooglePlayAdapter>(new GooglePlayAdapter(std::move(io_service)));
}

void GooglePlayAdapter::RequestAccessTokenByRefreshToken(const std::string& client_id,
                                                         const std::string& client_secret,
                                                         const std::string& refresh_token,
                                                         AccessTokenCompletion completion) {
  LOG(INFO) << kTexts.tag << "Trying to get Google API access token: client_id=" << client_id;
  VLOG(2) << kTexts.tag << "Client data trying to get Google API access token: secret="
          << client_secret << ", refresh_token=" << refresh_token;
  Post(GetStoreEndpoints()->google_oauth_token_url,
       http::MakeFormBody({{"grant_type", "refresh_token"},
                           {"client_id", client_id},
                           {"client_secret", client_secret},
                           {"refresh_token", refresh_token}}),
       std::move(completion));
}

void GooglePlayAdapter::RequestAccessTokenByJwt(const std::string& client_id,
                                                const std::string& jwt,
                                                AccessTokenCompletion completion) {
  LOG(INFO) << kTexts.tag << "Trying to get Google API access token: client_id=" << client_id;
  VLOG(2) << kTexts.tag << "Client data trying to get Google API access token: jwt=" << jwt;
  Post(GetStoreEndpoints()->google_jwt_token_url,
       http::MakeFormBody({{"grant_type", "urn:ietf:params:oauth:grant-type:jwt-bearer"},
                           {"assertion", jwt}}),
       std::move(completion));
}

void GooglePlayAdapter::Post(const std::string& url, std::string body,
                             AccessTokenCompletion completion) {
  if (http_client_) LOG(FATAL) << "Assert failed: ! http_client_";
  http_client_ = std::make_shared<HttpClient>(io_service_);
  http_client_->SetHeader("content-type", "application/x-www-form-urlencoded");
  http_client_->PostAsync(
      url, std::make_shared<const std::string>(std::move(body)),
      [self = shared_from_this(), completion = std::move(completion)](
          http::TransportCode code, const http::Response& response) {
        self->OnAccessTokenResponse(code, response, completion);
      },
      0);
}

void GooglePlayAdapter::OnAccessTokenResponse(http::TransportCode code,
                                              const http::Response& response,
                                              const AccessTokenCompletion& completion) {
  AccessTokenResponse answer;
  const boost::system::error_code ec = ReadAccessTokenAnswer(code, response, kTexts, &answer);
  completion(ec, ec ? AccessTokenResponse() : answer);
}

std::string GooglePlayAdapter::PurchaseUrl(const std::string& api_base,
                                           const std::string& package_name,
                                           const std::string& product_id,
                                           const std::string& purchase_token,
                                           const std::string& access_token) {
  return api_base + "/androidpublisher/v3/applications/" + UrlPathSegment(package_name) +
         "/purchases/products/" + UrlPathSegment(product_id) + "/tokens/" +
         UrlPathSegment(purchase_token) + "?access_token=" + http::UrlEncode(access_token);
}

void GooglePlayAdapter::RequestReceiptValidation(const std::string& package_name,
                                                 const std::string& product_id,
                                                 const std::string& purchase_token,
                                                 const std::string& access_token,
                                                 ReceiptValidationCompletion completion) {
  if (http_client_) LOG(FATAL) << "Assert failed: ! http_client_";
  http_client_ = std::make_shared<HttpClient>(io_service_);
  http_client_->GetAsync(
      PurchaseUrl(GetStoreEndpoints()->google_api_base, package_name, product_id, purchase_token,
                  access_token),
      [self = shared_from_this(), completion = std::move(completion)](
          http::TransportCode code, const http::Response& response) {
        ReceiptValidationResponse answer;
        const boost::system::error_code ec = ReadReceiptValidationAnswer(code, response, &answer);
        completion(ec, ec ? ReceiptValidationResponse() : answer);
      },
      0);
}

boost::system::error_code GooglePlayAdapter::ReadReceiptValidationAnswer(
    http::TransportCode transport, const http::Response& response,
    ReceiptValidationResponse* out) {
  // Only log lines use `body`: a store's answer may be of any size.
  const std::string body = ForLog(response.body);
  if (IsRetryable(transport, response.status_code)) {
    LOG(ERROR) << kTexts.tag << "Failed to get a receipt validation response: code=" << transport
               << ", status_code=" << response.status_code << ", message=" << body;
    return MakeCommonError(kHttpRequestFailure);
  }
  if (response.status_code != 200) {
    LOG(WARNING) << kTexts.tag << "Failed to validate Google Play receipt: message=" << body;
    *out = ReceiptValidationResponse();
    out->code = ReceiptValidationResponse::kFailure;
    return boost::system::error_code();
  }

  ReceiptValidationResponse answer;
  auto malformed = [&body](const std::string& why) {
    LOG(ERROR) << kTexts.tag << why;
    LOG(ERROR) << kTexts.tag << "Invalid Google Play receipt found: message=" << body;
    return MakeBillerError(kServiceProviderProtocolError);
  };
  auto wrong_type = [&body](const char* name) {
    return std::string("Wrong attribute type found: attribute='") + name + "', body=" + body;
  };
  Json parsed;
  if (!parsed.FromString(response.body) || !parsed.IsObject()) {
    return malformed("Failed to parse JSON from the response: body=" + body);
  }
  if (!ReadEnum(parsed, "acknowledgementState", 0, 1, &answer.acknowledgement_state)) {
    return malformed(wrong_type("acknowledgementState"));
  }
  answer.kind = ReadOptionalString(parsed, "kind", body);
  answer.purchase_time_millis = ReadOptionalString(parsed, "purchaseTimeMillis", body);
  answer.order_id = ReadOptionalString(parsed, "orderId", body);
  if (!ReadEnum(parsed, "purchaseState", 0, 2, &answer.purchase_state)) {
    return malformed(wrong_type("purchaseState"));
  }
  int32_t consumption_state = 0;
  if (!ReadEnum(parsed, "consumptionState", 0, 1, &consumption_state)) {
    return malformed(wrong_type("consumptionState"));
  }
  answer.not_consumed = consumption_state == 0 ? 1 : 0;
  if (!parsed.HasAttribute("purchaseType")) {
    answer.purchase_type = -1;
  } else if (!ReadEnum(parsed, "purchaseType", 0, 2, &answer.purchase_type)) {
    return malformed(wrong_type("purchaseType"));
  }
  answer.code = ReceiptValidationResponse::kSuccess;
  answer.receipt = std::move(parsed);
  *out = std::move(answer);
  return boost::system::error_code();
}

bool GooglePlayAdapter::MakeGooglePlayJwt(const std::string& private_key,
                                          const std::string& client_email, std::string* jwt) {
  auto key = jwt::TokenSigningKey::Create(private_key, jwt::kSha256);
  if (!key) {
    LOG(ERROR) << kTexts.tag << "While making google play jwt, key creation failed";
    return false;
  }
  Json claims = Json::Object();
  claims.SetString("iss", client_email);
  claims.SetString("scope", kAndroidPublisherScope);
  claims.SetString("aud", GetStoreEndpoints()->google_jwt_token_url);
  return jwt::MakeJwt(claims, *key, kJwtLifetimeSeconds, jwt);
}

}  // namespace tvx
