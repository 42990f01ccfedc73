// GooglePlayAdapter: Google's OAuth 2.0 token service for the biller. Static
// operations own the process-wide token cache, one entry per Google account
// (an OAuth client by its client id, a service account by its e-mail) and
// set of credentials;
// instances are one-shot request objects, each sending exactly one HTTP
// request and living, through the shared pointer bound into its completion,
// until that request is answered.
#ifndef SRC_GOOGLE_PLAY_ADAPTER_H_
#define SRC_GOOGLE_PLAY_ADAPTER_H_

#include <cstdint>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "framework/http_client.h"
#include "framework/json.h"
#include "framework/io_service.h"
#include "src/access_token_cache.h"

namespace tvx {

// A Google service account: its e-mail and the RSA private key (PEM) that
// signs its JWTs.
struct GoogleServiceAccount {
  std::string client_email;
  std::string private_key;
};

// A Google OAuth client and the refresh token a user granted it.
struct GoogleOAuthClient {
  std::string client_id;
  std::string client_secret;
  std::string refresh_token;
};

class GooglePlayAdapter : public std::enable_shared_from_this<GooglePlayAdapter> {
 public:
  using AccessTokenResponse = tvx::AccessTokenResponse;
  using AccessTokenCallback = tvx::AccessTokenCallback;
  using AccessTokenCompletion = tvx::AccessTokenCompletion;

  // Google's answer about one in-app product purchase. With a failure error
  // code the response is a default one and is ignored.
  struct ReceiptValidationResponse {
    // kFailure: the API answered non-200; kTokenRejected: it answered 401,
    // refusing the access token rather than the receipt.
    enum { kSuccess = 0, kFailure = 1, kTokenRejected = 2 };
    int32_t code = kSuccess;
    std::string kind;                  // "" when absent
    std::string purchase_time_millis;  // milliseconds since the epoch as text, "" when absent
    int32_t purchase_state = 0;        // 0 purchased, 1 cancelled, 2 pending
    int32_t not_consumed = 0;          // 1 while "consumptionState" is 0
    int32_t purchase_type = 0;         // -1 when the answer has none
    std::string order_id;              // "" when absent
    int32_t acknowledgement_state = 0;
    Json receipt;  // the whole answer, handed to the client as the decoded receipt
  };
  using ReceiptValidationCompletion =
      std::function<void(const boost::system::error_code&, const ReceiptValidationResponse&)>;

  // The OAuth scope of the Android Publisher API.
  static constexpr char kAndroidPublisherScope[] = "https://www.googleapis.com/auth/androidpublisher";
  // Lifetime of a service account's JWT; Google accepts at most an hour.
  static constexpr int64_t kJwtLifetimeSeconds = 3000;

  // The io context of the refresh timers and token requests. Called once at
  // start, before any other operation.
  static void SetIoService(std::shared_ptr<IoContext> io_service);
  // Cancels every refresh timer, empties the cache and releases the io
  // context. Callers still waiting for a token are not answered.
  static void Shutdown();

  // The callbacks below get (token, success) or ("", error): the common
  // error kHttpRequestFailure when Google could not be reached or answered
  // 5xx, the biller error kWrongServiceProviderAuthKey when it refused the
  // credentials (or the private key cannot sign), kServiceProviderProtocolError
  // when its answer was malformed. They run on an io thread, or at once on
  // the caller's thread when the cache can answer. Thread-safe.
  //
  // Each set of credentials has its cache entry of its own (TokenKey names
  // it), so credentials Google refuses never touch the entry of those it
  // accepted.
  static AccessTokenKey TokenKey(const GoogleOAuthClient& client);
  static AccessTokenKey TokenKey(const GoogleServiceAccount& account);
  // OAuth client: the refresh-token grant.
  static void GetAccessToken(const GoogleOAuthClient& client, AccessTokenCallback callback);
  // Service account: the JWT-bearer grant, the JWT signed with the private
  // key away from the io threads.
  static void GetAccessToken(const GoogleServiceAccount& account, AccessTokenCallback callback);
  // The token of the entry an authentication proved. The biller error
  // kAuthenticationRequired when the cache no longer holds that entry.
  static void GetCachedAccessToken(const AccessTokenKey& key, AccessTokenCallback callback);
  // Google rejected `access_token` (401): the entry's next caller gets a new one.
  static void InvalidateAccessToken(const AccessTokenKey& key, const std::string& access_token);

  // A request object whose one request runs on `io_service`.
  static std::shared_ptr<GooglePlayAdapter> Create(std::shared_ptr<IoContext> io_service);

  // One token request each; the completion runs on an io thread.
  void RequestAccessTokenByRefreshToken(const std::string& client_id,
                                        const std::string& client_secret,
                                        const std::string& refresh_token,
                                        AccessTokenCompletion completion);
  void RequestAccessTokenByJwt(const std::string& client_id, const std::string& jwt,
                               AccessTokenCompletion completion);

  // One purchase query; the completion runs on an io thread with success
  // and the answer, or with kHttpRequestFailure (Google unreachable or 5xx)
  // or kServiceProviderProtocolError (a malformed answer).
  void RequestReceiptValidation(const std::string& package_name, const std::string& product_id,
                                const std::string& purchase_token, const std::string& access_token,
                                ReceiptValidationCompletion completion);

  // The purchase query's address under `api_base`; every receipt value is
  // percent-encoded, so a token cannot redirect the query elsewhere.
  static std::string PurchaseUrl(const std::string& api_base, const std::string& package_name,
                                 const std::string& product_id, const std::string& purchase_token,
                                 const std::string& access_token);
  // Reads a purchase query's answer into `out` (left default on failure).
  static boost::system::error_code ReadReceiptValidationAnswer(http::TransportCode transport,
                                                               const http::Response& response,
                                                               ReceiptValidationResponse* out);

  // The signed assertion of a service account: iss the e-mail, scope the
  // Android Publisher API, aud the JWT-grant token endpoint.
  static bool MakeGooglePlayJwt(const std::string& private_key, const std::string& client_email,
                                std::string* jwt);

  // Tests: timers of cache entries made from now on.
  static void SetTimerFactoryForTesting(
      std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)> factory);

 private:
  explicit GooglePlayAdapter(std::shared_ptr<IoContext> io_service)
      : io_service_(std::move(io_service)) {}

  void Post(const std::string& url, std::string body, AccessTokenCompletion completion);

  const std::shared_ptr<IoContext> io_service_;
  std::shared_ptr<HttpClient> http_client_;  // made by the one request
};

}  // namespace tvx

#endif  // SRC_GOOGLE_PLAY_ADAPTER_H_
