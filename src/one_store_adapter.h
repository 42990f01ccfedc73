// OneStoreAdapter: OneStore's OAuth 2.0 client-credentials grant for the
// biller. As GooglePlayAdapter: static operations own the process-wide token
// cache (one entry per client id, separate from Google's), instances are
// one-shot request objects. Every call names the API host to use: the test
// (sandbox) host when `use_test_server` is true, else production.
#ifndef SRC_ONE_STORE_ADAPTER_H_
#define SRC_ONE_STORE_ADAPTER_H_

#include <cstdint>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "framework/http_client.h"
#include "framework/json.h"
#include "framework/io_service.h"
#include "src/access_token_cache.h"

namespace tvx {

// A OneStore client: its id and secret.
struct OneStoreClient {
  std::string client_id;
  std::string client_secret;
};

class OneStoreAdapter : public std::enable_shared_from_this<OneStoreAdapter> {
 public:
  using AccessTokenResponse = tvx::AccessTokenResponse;
  using AccessTokenCallback = tvx::AccessTokenCallback;
  using AccessTokenCompletion = tvx::AccessTokenCompletion;

  // OneStore's answer about one purchase. With a failure error code the
  // response is a default one and is ignored.
  struct ReceiptValidationResponse {
    // kFailure: the API answered non-200, or with an "error" object.
    // kTokenRejected: the API answered 401, refusing the access token
    // rather than the receipt.
    enum { kSuccess = 0, kFailure = 1, kTokenRejected = 2 };
    int32_t code = kSuccess;
    int64_t purchase_time = 0;  // milliseconds since the epoch, 0 when unreadable
    int32_t purchase_state = 0;  // 1 is a cancelled purchase
    int32_t consumption_state = 0;
    Json receipt;  // the whole answer, handed to the client as the decoded receipt
  };
  using ReceiptValidationCompletion =
      std::function<void(const boost::system::error_code&, const ReceiptValidationResponse&)>;

  // Called once at start, before any other operation.
  static void SetIoService(std::shared_ptr<IoContext> io_service);
  // Cancels every refresh timer, empties the cache and releases the io
  // context, so that no refresh starts while the process shuts down.
  static void Shutdown();

  // Callbacks as GooglePlayAdapter's: (token, success) or ("", error) with
  // kHttpRequestFailure, kWrongServiceProviderAuthKey or
  // kServiceProviderProtocolError. Thread-safe. One cache entry per client id
  // and secret, named by TokenKey.
  static AccessTokenKey TokenKey(const OneStoreClient& client);
  static void GetAccessToken(const OneStoreClient& client, bool use_test_server,
                             AccessTokenCallback callback);
  // The token of the entry an authentication proved; the biller error
  // kAuthenticationRequired when the cache no longer holds it.
  static void GetCachedAccessToken(const AccessTokenKey& key, bool use_test_server,
                                   AccessTokenCallback callback);
  // OneStore rejected `access_token` (401): the entry's next caller gets a new one.
  static void InvalidateAccessToken(const AccessTokenKey& key, const std::string& access_token);

  static std::shared_ptr<OneStoreAdapter> Create(std::shared_ptr<IoContext> io_service);

  // One token request; the completion runs on an io thread.
  void RequestAccessToken(const std::string& client_id, const std::string& client_secret,
                          bool use_test_server, AccessTokenCompletion completion);

  // One purchase query; the completion runs on an io thread with success
  // and the answer, or with kHttpRequestFailure (OneStore unreachable or 5xx)
  // or kServiceProviderProtocolError (a malformed answer).
  void RequestReceiptValidation(const std::string& purchase_id, const std::string& package_name,
                                const std::string& product_id, const std::string& access_token,
                                bool use_test_server, ReceiptValidationCompletion completion);

  // The purchase query's address under `api_base`, receipt values
  // percent-encoded.
  static std::string PurchaseUrl(const std::string& api_base, const std::string& purchase_id,
                                 const std::string& package_name, const std::string& product_id);
  // Reads a purchase query's answer into `out` (left default on failure).
  static boost::system::error_code ReadReceiptValidationAnswer(http::TransportCode transport,
                                                               const http::Response& response,
                                                               ReceiptValidationResponse* out);

  // The API base the flag selects.
  static std::string ApiBase(bool use_test_server);

  // Tests: timers of cache entries made from now on.
  static void SetTimerFactoryForTesting(
      std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)> factory);

 private:
  explicit OneStoreAdapter(std::shared_ptr<IoContext> io_service)
      : io_service_(std::move(io_service)) {}


  const std::shared_ptr<IoContext> io_service_;
  std::shared_ptr<HttpClient> http_client_;  // made by the one request
};

}  // namespace tvx

#endif  // SRC_ONE_STORE_ADAPTER_H_
