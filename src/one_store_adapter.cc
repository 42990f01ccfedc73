#include "src/one_store_adapter.h"

#include <glog/logging.h>

#include "src/store_endpoints.h"

namespace tvx {
namespace {

constexpr TokenCacheTexts kTexts = {"[OneStore] ", "OneStore API", "OneStore", "OneStore"};

// The client secret alone identifies the account's credentials; the
// test-server flag travels with each request instead.
struct OneStoreCredentials {
  std::string client_secret;
  bool operator==(const OneStoreCredentials&) const = default;
};

using OneStoreTokenCache = AccessTokenCache<OneStoreCredentials, bool>;

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const OneStoreCredentials& credentials, const bool& use_test_server);

const std::shared_ptr<OneStoreTokenCache>& TheTokens() {
  // Never destroyed: refresh timers and requests may still refer to it while
  // the process exits.
  static const auto* const the_tokens = new std::shared_ptr<OneStoreTokenCache>(
      std::make_shared<OneStoreTokenCache>(kTexts, &Refresh));
  return *the_tokens;
}

void Refresh(const std::shared_ptr<IoContext>& io, const std::string& client_id,
             const OneStoreCredentials& credentials, const bool& use_test_server) {
  OneStoreAdapter::Create(io)->RequestAccessToken(
      client_id, credentials.client_secret, use_test_server,
      [client_id, credentials, use_test_server](const boost::system::error_code& ec,
                                                const AccessTokenResponse& response) {
        TheTokens()->OnRefreshed(client_id, credentials, use_test_server, ec, response);
      });
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

void OneStoreAdapter::GetAccessToken(const std::string& client_id,
                                     const std::string& client_secret, bool use_test_server,
                                     AccessTokenCallback callback) {
  TheTokens()->Get(client_id, OneStoreCredentials{client_secret}, use_test_server,
                   std::move(callback));
}

void OneStoreAdapter::GetAccessToken(const std::string& client_id, bool use_test_server,
                                     AccessTokenCallback callback) {
  if (!TheTokens()->GetByKey(client_id, use_test_server, std::move(callback))) {
    LOG(FATAL) << "Assert failed: itr != the_tokens.end()";
  }
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
  LOG(INFO) << kTexts.tag << "Trying to get OneStore API access token: client_id=" << client_id;
  VLOG(2) << kTexts.tag << "Client data trying to get OneStore API access token: secret="
          << client_secret;
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

void OneStoreAdapter::OnAccessTokenResponse(http::TransportCode code,
                                            const http::Response& response,
                                            const AccessTokenCompletion& completion) {
  AccessTokenResponse answer;
  const boost::system::error_code ec = ReadAccessTokenAnswer(code, response, kTexts, &answer);
  completion(ec, ec ? AccessTokenResponse() : answer);
}

}  // namespace tvx
