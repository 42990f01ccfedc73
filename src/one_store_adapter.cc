#include "src/one_store_adapter.h"

#include <glog/logging.h>

#include "src/billing_error.h"
#include "src/log_text.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

constexpr TokenCacheTexts kTexts = {"[OneStore] ", "OneStore API", "OneStore", "OneStore"};

// The client secret alone identifies the account's credentials; the
// test-server flag travels with each request instead.
struct OneStoreCredentials {
  std::string client_secret;
  std::string DigestInput() const { return client_secret; }
};

using OneStoreTokenCache = AccessTokenCache<OneStoreCredentials, bool>;

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const OneStoreCredentials& credentials, const bool& use_test_server,
             AccessTokenCompletion done);

const std::shared_ptr<OneStoreTokenCache>& TheTokens() {
  // Never destroyed: refresh timers and requests may still refer to it while
  // the process exits.
  static const auto* const the_tokens = new std::shared_ptr<OneStoreTokenCache>(
      std::make_shared<OneStoreTokenCache>(kTexts, &Refresh));
  return *the_tokens;
}

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const OneStoreCredentials& credentials, const bool& use_test_server,
             AccessTokenCompletion done) {
  OneStoreAdapter::Create(io)->RequestAccessToken(client_id, credentials.client_secret,
                                                  use_test_server, std::move(done));
}

bool ReadEnum(const Json& answer, const char* name, int32_t* out) {
  if (!answer.HasAttribute(name, Json::kInteger)) return false;
  const int64_t value = answer.GetInteger(name);
  if (value != 0 && value != 1) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

}  // namespace

void OneStoreAdapter::SetIoService(std::shared_ptr<IoContext> io_service) {
  TheTokens()->SetIoService(std::move(io_service));
}

void OneStoreAdapter::Shutdown() { TheTokens()->Shutdown(); }

void OneStoreAdapter::SetTimerFactoryForTesting(
    std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)> factory) {
  TheTokens()->SetTimerFactory(std::move(factory));
}

AccessTokenKey OneStoreAdapter::TokenKey(const OneStoreClient& client) {
  return OneStoreTokenCache::KeyOf(client.client_id, OneStoreCredentials{client.client_secret});
}

void OneStoreAdapter::GetAccessToken(const OneStoreClient& client, bool use_test_server,
                                     AccessTokenCallback callback) {
  TheTokens()->Get(client.client_id, OneStoreCredentials{client.client_secret}, use_test_server,
                   std::move(callback));
}

void OneStoreAdapter::GetCachedAccessToken(const AccessTokenKey& key, bool use_test_server,
                                           AccessTokenCallback callback) {
  if (!TheTokens()->GetByKey(key, use_test_server, callback)) {
    LOG(WARNING) << kTexts.tag << "No cached access token for the session's account"
                 << ": client_id=" << LogText(key.account);
    callback(std::string(), MakeBillerError(kAuthenticationRequired));
  }
}

void OneStoreAdapter::InvalidateAccessToken(const AccessTokenKey& key,
                                            const std::string& access_token) {
  TheTokens()->Invalidate(key, access_token);
}

std::shared_ptr<OneStoreAdapter> OneStoreAdapter::Create(std::shared_ptr<IoContext> io_service) {
  return std::shared_ptr<OneStoreAdapter>(new OneStoreAdapter(std::move(io_service)));
}

std::string OneStoreAdapter::ApiBase(bool use_test_server) {
  const auto endpoints = GetStoreEndpoints();
  return use_test_server ? endpoints->one_store_test_api_base : endpoints->one_store_api_base;
}

void OneStoreAdapter::RequestAccessToken(const std::string& client_id,
                                         const std::string& client_secret, bool use_test_server,
                                         AccessTokenCompletion completion) {
  if (http_client_) LOG(FATAL) << "Assert failed: ! http_client_";
  LOG(INFO) << kTexts.tag << "Trying to get OneStore API access token: client_id="
            << LogText(client_id);
  VLOG(2) << kTexts.tag << "Client data trying to get OneStore API access token: secret="
          << kRedacted;
  auto body = std::make_shared<const std::string>(
      http::MakeFormBody({{"grant_type", "client_credentials"},
                          {"client_id", client_id},
                          {"client_secret", client_secret}}));
  http_client_ = std::make_shared<HttpClient>(io_service_);
  http_client_->SetHeader("content-type", "application/x-www-form-urlencoded");
  http_client_->PostAsync(
      ApiBase(use_test_server) + "/v2/oauth/token", std::move(body),
      [self = shared_from_this(), completion = std::move(completion)](
          http::TransportCode code, const http::Response& response) {
        self->OnAccessTokenResponse(code, response, completion);
      },
      0);
}

std::string OneStoreAdapter::PurchaseUrl(const std::string& api_base,
                                         const std::string& purchase_id,
                                         const std::string& package_name,
                                         const std::string& product_id) {
  return api_base + "/v2/purchase/details-by-productid/" + UrlPathSegment(purchase_id) + "/" +
         UrlPathSegment(package_name) + "/" + UrlPathSegment(product_id);
}

void OneStoreAdapter::RequestReceiptValidation(const std::string& purchase_id,
                                               const std::string& package_name,
                                               const std::string& product_id,
                                               const std::string& access_token,
                                               bool use_test_server,
                                               ReceiptValidationCompletion completion) {
  if (http_client_) LOG(FATAL) << "Assert failed: ! http_client_";
  http_client_ = std::make_shared<HttpClient>(io_service_);
  http_client_->SetHeader("Authorization", "Bearer " + access_token);
  http_client_->SetHeader("Content-Type", "application/json");
  http_client_->GetAsync(
      PurchaseUrl(ApiBase(use_test_server), purchase_id, package_name, product_id),
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

boost::system::error_code OneStoreAdapter::ReadReceiptValidationAnswer(
    http::TransportCode transport, const http::Response& response,
    ReceiptValidationResponse* out) {
  // Only log lines use `body`: a store's answer may be of any size.
  const std::string body = ForLog(response.body);
  if (IsRetryable(transport, response.status_code)) {
    LOG(ERROR) << kTexts.tag << "Failed to get a receipt validation response: code=" << transport
               << ", status_code=" << response.status_code << ", message=" << body;
    return MakeCommonError(kHttpRequestFailure);
  }
  ReceiptValidationResponse refused;
  refused.code = ReceiptValidationResponse::kFailure;
  if (response.status_code != 200) {
    LOG(WARNING) << kTexts.tag << "Failed to validate OneStore receipt: message=" << body;
    *out = refused;
    if (response.status_code == 401) out->code = ReceiptValidationResponse::kTokenRejected;
    return boost::system::error_code();
  }

  auto malformed = [&body](const std::string& why) {
    LOG(ERROR) << kTexts.tag << why;
    LOG(ERROR) << kTexts.tag << "Invalid OneStore receipt found: message=" << body;
    return MakeBillerError(kServiceProviderProtocolError);
  };
  Json parsed;
  if (!parsed.FromString(response.body) || !parsed.IsObject()) {
    return malformed("Failed to parse JSON from the response: body=" + body);
  }
  // OneStore reports an unknown or foreign purchase as an "error" object with
  // status 200: the receipt is wrong, not the protocol.
  if (parsed.HasAttribute("error")) {
    LOG(WARNING) << kTexts.tag << "Received error response from OneStore API server: message="
                 << body;
    *out = refused;
    return boost::system::error_code();
  }
  ReceiptValidationResponse answer;
  if (!ReadEnum(parsed, "consumptionState", &answer.consumption_state)) {
    return malformed("Wrong attribute type found: attribute='consumptionState', body=" + body);
  }
  if (!ReadEnum(parsed, "purchaseState", &answer.purchase_state)) {
    return malformed("Wrong attribute type found: attribute='purchaseState', body=" + body);
  }
  if (parsed.HasAttribute("purchaseTime", Json::kInteger)) {
    answer.purchase_time = parsed.GetInteger("purchaseTime");
  } else {
    LOG(WARNING) << kTexts.tag << "Wrong attribute type found: attribute='purchaseTime', body="
                 << body;
  }
  answer.code = ReceiptValidationResponse::kSuccess;
  answer.receipt = std::move(parsed);
  *out = std::move(answer);
  return boost::system::error_code();
}

void OneStoreAdapter::OnAccessTokenResponse(http::TransportCode code,
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

}  // namespace tvx
