#include "src/google_play_adapter.h"

#include <variant>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <glog/logging.h>

#include "framework/json.h"
#include "framework/jwt.h"
#include "src/billing_error.h"
#include "src/log_text.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

constexpr TokenCacheTexts kTexts = {"[Google PlayStore] ", "Google API", "Google Play", "Google"};

// What proves a Google account. An OAuth client has a secret and a refresh
// token; a service account has its private key alone, whose emptiness picks
// the grant.
struct GoogleCredentials {
  std::string client_secret;
  std::string refresh_token;
  std::string private_key;
  std::string DigestInput() const {
    std::string input;
    for (const std::string* field : {&client_secret, &refresh_token, &private_key}) {
      input += std::to_string(field->size()) + ":" + *field + ";";
    }
    return input;
  }
};

// Signing with a large key takes milliseconds: done on a thread of its own,
// never on an io thread. Never destroyed, as the caches are not.
boost::asio::thread_pool& SigningThread() {
  static auto* const pool = new boost::asio::thread_pool(1);
  return *pool;
}

using GoogleTokenCache = AccessTokenCache<GoogleCredentials, std::monostate>;

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const GoogleCredentials& credentials, const std::monostate& context,
             AccessTokenCompletion done);

const std::shared_ptr<GoogleTokenCache>& TheTokens() {
  // Never destroyed: refresh timers and requests may still refer to it while
  // the process exits.
  static const auto* const the_tokens =
      new std::shared_ptr<GoogleTokenCache>(std::make_shared<GoogleTokenCache>(kTexts, &Refresh));
  return *the_tokens;
}

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const GoogleCredentials& credentials, const std::monostate& /*context*/,
             AccessTokenCompletion done) {
  if (credentials.private_key.empty()) {
    GooglePlayAdapter::Create(io)->RequestAccessTokenByRefreshToken(
        client_id, credentials.client_secret, credentials.refresh_token, std::move(done));
    return;
  }
  boost::asio::post(SigningThread(), [io, client_id, private_key = credentials.private_key,
                                      done = std::move(done)]() mutable {
    std::string jwt;
    const bool made = GooglePlayAdapter::MakeGooglePlayJwt(private_key, client_id, &jwt);
    boost::asio::post(*io, [io, client_id, made, jwt = std::move(jwt), done = std::move(done)] {
      if (!made) {
        LOG(ERROR) << kTexts.tag << "Failed to make JWT.";
        AccessTokenResponse refused;
        refused.code = AccessTokenResponse::kFailure;
        done(boost::system::error_code(), refused);
        return;
      }
      GooglePlayAdapter::Create(io)->RequestAccessTokenByJwt(client_id, jwt, std::move(done));
    });
  });
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

namespace {

GoogleCredentials CredentialsOf(const GoogleOAuthClient& client) {
  return GoogleCredentials{client.client_secret, client.refresh_token, std::string()};
}
GoogleCredentials CredentialsOf(const GoogleServiceAccount& account) {
  return GoogleCredentials{std::string(), std::string(), account.private_key};
}

}  // namespace

AccessTokenKey GooglePlayAdapter::TokenKey(const GoogleOAuthClient& client) {
  return GoogleTokenCache::KeyOf(client.client_id, CredentialsOf(client));
}

AccessTokenKey GooglePlayAdapter::TokenKey(const GoogleServiceAccount& account) {
  return GoogleTokenCache::KeyOf(account.client_email, CredentialsOf(account));
}

void GooglePlayAdapter::GetAccessToken(const GoogleOAuthClient& client,
                                       AccessTokenCallback callback) {
  TheTokens()->Get(client.client_id, CredentialsOf(client), std::monostate(),
                   std::move(callback));
}

void GooglePlayAdapter::GetAccessToken(const GoogleServiceAccount& account,
                                       AccessTokenCallback callback) {
  TheTokens()->Get(account.client_email, CredentialsOf(account), std::monostate(),
                   std::move(callback));
}

void GooglePlayAdapter::GetCachedAccessToken(const AccessTokenKey& key,
                                             AccessTokenCallback callback) {
  // The callback is moved only when the entry is found.
  if (!TheTokens()->GetByKey(key, std::monostate(), callback)) {
    LOG(WARNING) << kTexts.tag << "No cached access token for the session's account"
                 << ": client_id=" << LogText(key.account);
    callback(std::string(), MakeBillerError(kAuthenticationRequired));
  }
}

void GooglePlayAdapter::InvalidateAccessToken(const AccessTokenKey& key,
                                              const std::string& access_token) {
  TheTokens()->Invalidate(key, access_token);
}

std::shared_ptr<GooglePlayAdapter> GooglePlayAdapter::Create(std::shared_ptr<IoContext> io_service) {
  return std::shared_ptr<GooglePlayAdapter>(new GooglePlayAdapter(std::move(io_service)));
}

void GooglePlayAdapter::RequestAccessTokenByRefreshToken(const std::string& client_id,
                                                         const std::string& client_secret,
                                                         const std::string& refresh_token,
                                                         AccessTokenCompletion completion) {
  LOG(INFO) << kTexts.tag << "Trying to get Google API access token: client_id="
            << LogText(client_id);
  VLOG(2) << kTexts.tag << "Client data trying to get Google API access token: secret="
          << kRedacted << ", refresh_token=" << kRedacted;
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
  LOG(INFO) << kTexts.tag << "Trying to get Google API access token: client_id="
            << LogText(client_id);
  VLOG(2) << kTexts.tag << "Client data trying to get Google API access token: jwt=" << kRedacted;
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
  if (ec) {
    completion(ec, AccessTokenResponse());
  } else {
    completion(ec, answer);  // by reference; `ec ? ... : answer` copies it
  }
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
        if (ec) {
          completion(ec, ReceiptValidationResponse());
        } else {
          completion(ec, answer);  // by reference; `ec ? ... : answer` copies it
        }
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
    out->code = response.status_code == 401 ? ReceiptValidationResponse::kTokenRejected
                                            : ReceiptValidationResponse::kFailure;
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
