// OneStoreAdapter: OneStore's OAuth 2.0 client-credentials grant for the
// biller. As GooglePlayAdapter: static operations own the process-wide token
// cache (one entry per client id, separate from Google's), instances are
// one-shot request objects. Every call names the API host to use: the test
// (sandbox) host when `use_test_server` is true, else production.
#ifndef SRC_ONE_STORE_ADAPTER_H_
#define SRC_ONE_STORE_ADAPTER_H_

#include <memory>
#include <string>

#include "framework/http_client.h"
#include "framework/io_service.h"
#include "src/access_token_cache.h"

namespace tvx {

class OneStoreAdapter : public std::enable_shared_from_this<OneStoreAdapter> {
 public:
  using AccessTokenResponse = tvx::AccessTokenResponse;
  using AccessTokenCallback = tvx::AccessTokenCallback;
  using AccessTokenCompletion = tvx::AccessTokenCompletion;

  // Called once at start, before any other operation.
  static void SetIoService(std::shared_ptr<IoContext> io_service);
  // Cancels every refresh timer, empties the cache and releases the io
  // context, so that no refresh starts while the process shuts down.
  static void Shutdown();

  // Callbacks as GooglePlayAdapter's: (token, success) or ("", error) with
  // kHttpRequestFailure, kWrongServiceProviderAuthKey or
  // kServiceProviderProtocolError. Thread-safe.
  static void GetAccessToken(const std::string& client_id, const std::string& client_secret,
                             bool use_test_server, AccessTokenCallback callback);
  // The account a client authenticated with; the entry must exist.
  static void GetAccessToken(const std::string& client_id, bool use_test_server,
                             AccessTokenCallback callback);

  static std::shared_ptr<OneStoreAdapter> Create(std::shared_ptr<IoContext> io_service);

  // One token request; the completion runs on an io thread.
  void RequestAccessToken(const std::string& client_id, const std::string& client_secret,
                          bool use_test_server, AccessTokenCompletion completion);

  // The API base the flag selects.
  static std::string ApiBase(bool use_test_server);

  // Tests: timers of cache entries made from now on.
  static void SetTimerFactoryForTesting(
      std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)> factory);

 private:
  explicit OneStoreAdapter(std::shared_ptr<IoContext> io_service)
      : io_service_(std::move(io_service)) {}

  void OnAccessTokenResponse(http::TransportCode code, const http::Response& response,
                             const AccessTokenCompletion& completion);

  const std::shared_ptr<IoContext> io_service_;
  std::shared_ptr<HttpClient> http_client_;  // made by the one request
};

}  // namespace tvx

#endif  // SRC_ONE_STORE_ADAPTER_H_
