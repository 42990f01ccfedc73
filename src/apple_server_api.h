// The App Store Server API and Apple's signed transactions: the install
// argument "apple_app_store_server_api", the ES256 token the API accepts,
// and AppleServerApiAdapter, which asks Get Transaction Info about one
// transaction id and verifies the signed transaction Apple answers with.
#ifndef SRC_APPLE_SERVER_API_H_
#define SRC_APPLE_SERVER_API_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "framework/http_client.h"
#include "framework/io_service.h"
#include "framework/json.h"
#include "framework/jws.h"
#include "framework/jwt.h"
#include "src/billing_agent.h"

namespace tvx {

// Receipt members of the two forms beside "receipt_data".
inline constexpr char kAppleAppStoreTransactionIdKey[] = "transaction_id";
inline constexpr char kAppleAppStoreSignedTransactionKey[] = "signed_transaction";

struct AppleServerApiConfig {
  enum class Environment { kAuto, kProduction, kSandbox };
  std::string issuer_id;
  std::string key_id;
  std::string bundle_id;
  Environment environment = Environment::kAuto;
  std::shared_ptr<const jwt::TokenSigningKey> key;             // ES256
  std::shared_ptr<const jws::SignedDataVerifier> verifier;     // the configured roots
};

// Reads the install argument (null: not configured). False, with `error`
// naming the wrong member, on anything else than an object of the expected
// members; the configuration in use is then unchanged.
bool SetAppleServerApiConfig(const Json& argument, std::string* error);
// The configuration in use; null when the argument was not given.
std::shared_ptr<const AppleServerApiConfig> GetAppleServerApiConfig();

// The API's bearer token: header {"alg":"ES256","kid":key_id,"typ":"JWT"},
// claims "iss", "iat", "exp" (iat + 20 minutes), "aud"
// "appstoreconnect-v1" and "bid". False when signing fails.
bool MakeAppStoreServerApiToken(const AppleServerApiConfig& config, int64_t issued_at,
                                std::string* token);

// How long a Retry-After (a UNIX time in milliseconds; 0 for none) still
// holds a retry at `now_ms`: microseconds, 0 when it has passed, never above
// `max_wait`.
int64_t RemainingRetryAfterWait(int64_t retry_after_ms, int64_t now_ms, int64_t max_wait);

// Why a verified transaction `payload` cannot stand for `receipt` ("" when
// it can): another bundle, a payload lacking what a row needs, or, for a
// receipt naming a transaction id, another transaction.
std::string AppleServerApiMismatch(const Json& payload, const Json& receipt,
                                   const AppleServerApiConfig& config);

// Apple's milliseconds since the epoch as the "YYYY-MM-DD hh:mm:ss" (UTC)
// text the verifyReceipt rows hold.
std::string AppleDateTimeText(int64_t millis);

// Exactly one of the two forms, as a non-empty string, with a product id.
bool IsWellFormedAppleServerApiReceipt(const Json& receipt);

// True for a receipt of the two forms: no "receipt_data", and a
// "transaction_id" or a "signed_transaction".
bool IsAppleServerApiReceipt(const Json& receipt);

// The Apple flow of those receipts, started by the Apple flow's entry in
// place of the verifyReceipt path.
void RequestAppleServerApiValidation(ValidationStart start);

class AppleServerApiAdapter : public std::enable_shared_from_this<AppleServerApiAdapter> {
 public:
  struct Answer {
    // Apple knows the transaction and its signed form verified; otherwise
    // `refusal` says why the transaction is a wrong receipt.
    bool found = false;
    std::string refusal;
    std::string signed_transaction;
    Json payload;
    bool is_sandbox = false;  // answered by the sandbox environment
    // With common error 1 after a 429: Apple's Retry-After (UNIX ms), or 0.
    int64_t retry_after_ms = 0;
  };
  // Exactly once per GetTransactionInfo: common error 1 (transport, 5xx,
  // 429: retry), Biller 2003 (the token refused twice) or 2004 (an answer
  // that cannot be read), or no error and the answer.
  using Callback = std::function<void(const boost::system::error_code&, const Answer&)>;

  static std::shared_ptr<AppleServerApiAdapter> Create(
      std::shared_ptr<IoContext> io, std::shared_ptr<const AppleServerApiConfig> config);

  void GetTransactionInfo(const std::string& transaction_id, Callback callback);
  // The same, held until the Retry-After (UNIX ms; 0 for none) of an
  // earlier attempt has passed, at most kBackoffMaxWaitTime; this attempt's
  // answer leaves its own in `retry_after_ms`.
  void GetTransactionInfoAfter(const std::shared_ptr<int64_t>& retry_after_ms,
                               const std::string& transaction_id, Callback callback);

 private:
  AppleServerApiAdapter(std::shared_ptr<IoContext> io,
                        std::shared_ptr<const AppleServerApiConfig> config)
      : io_(std::move(io)), config_(std::move(config)) {}

  void Ask(bool sandbox, bool renewed_token);
  void OnAnswer(bool sandbox, bool renewed_token, http::TransportCode code,
                const http::Response& response);
  void Finish(const boost::system::error_code& error, const Answer& answer);

  const std::shared_ptr<IoContext> io_;
  const std::shared_ptr<const AppleServerApiConfig> config_;
  std::string transaction_id_;
  Callback callback_;
  std::shared_ptr<HttpClient> http_client_;
};

}  // namespace tvx

#endif  // SRC_APPLE_SERVER_API_H_
