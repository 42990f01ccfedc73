#include "src/apple_server_api.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "framework/timer.h"
#include "src/billing_error.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

constexpr char kTag[] = "[Apple AppStore] ";
constexpr char kArgument[] = "apple_app_store_server_api";
// Apple accepts tokens of up to an hour; a fresh one is made per request.
constexpr int64_t kTokenLifetimeSeconds = 20 * 60;
// Apple's errorCode for a transaction id the environment does not know.
constexpr int64_t kTransactionIdNotFound = 4040010;

std::mutex config_mutex;
std::shared_ptr<const AppleServerApiConfig> the_apple_server_api;  // GUARDED_BY(config_mutex)

bool Wrong(const std::string& member, const std::string& why, std::string* error) {
  *error = std::string(kArgument) + ": \"" + member + "\" " + why;
  return false;
}

bool ReadText(const Json& argument, const char* member, std::string* out, std::string* error) {
  if (!argument.HasAttribute(member, Json::kString) || argument.GetString(member).empty()) {
    return Wrong(member, "must be a non-empty string", error);
  }
  *out = argument.GetString(member);
  return true;
}

// Apple's Retry-After: a UNIX time in milliseconds; 0 when absent or not a
// number.
int64_t RetryAfterOf(const http::Response& response) {
  for (const auto& [name, value] : response.headers) {
    if (name.size() != 11 || !std::equal(name.begin(), name.end(), "retry-after",
                                         [](char a, char b) {
                                           return std::tolower(static_cast<unsigned char>(a)) == b;
                                         })) {
      continue;
    }
    int64_t millis = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), millis);
    if (ec == std::errc() && end == value.data() + value.size() && millis > 0) return millis;
  }
  return 0;
}

}  // namespace

bool SetAppleServerApiConfig(const Json& argument, std::string* error) {
  if (argument.IsNull()) {
    std::lock_guard<std::mutex> lock(config_mutex);
    the_apple_server_api = nullptr;
    return true;
  }
  if (!argument.IsObject()) {
    *error = std::string(kArgument) + " must be an object";
    return false;
  }
  static const char* const kMembers[] = {"issuer_id",         "key_id",           "bundle_id",
                                         "private_key",       "root_certificates", "environment"};
  for (const std::string& name : argument.GetAttributeNames()) {
    if (std::none_of(std::begin(kMembers), std::end(kMembers),
                     [&](const char* known) { return name == known; })) {
      return Wrong(name, "is not a known member", error);
    }
  }
  auto config = std::make_shared<AppleServerApiConfig>();
  std::string private_key;
  if (!ReadText(argument, "issuer_id", &config->issuer_id, error) ||
      !ReadText(argument, "key_id", &config->key_id, error) ||
      !ReadText(argument, "bundle_id", &config->bundle_id, error) ||
      !ReadText(argument, "private_key", &private_key, error)) {
    return false;
  }
  config->key = jwt::TokenSigningKey::Create(private_key, jwt::kEs256);
  if (!config->key) {
    return Wrong("private_key", "must be the PEM text of an EC P-256 private key", error);
  }
  const Json roots = argument["root_certificates"];
  if (!roots.IsArray() || roots.Size() == 0) {
    return Wrong("root_certificates", "must be a non-empty array of PEM certificates", error);
  }
  jws::SignedDataVerifier::Options options;
  for (size_t i = 0; i < roots.Size(); ++i) {
    if (!roots[i].IsString()) {
      return Wrong("root_certificates", "must be a non-empty array of PEM certificates", error);
    }
    options.root_pems.push_back(roots[i].GetString());
  }
  std::string why;
  config->verifier = jws::SignedDataVerifier::Create(options, &why);
  if (!config->verifier) return Wrong("root_certificates", "is wrong: " + why, error);
  if (argument.HasAttribute("environment")) {
    const Json environment = argument["environment"];
    const std::string text = environment.IsString() ? environment.GetString() : std::string();
    if (text == "auto") {
      config->environment = AppleServerApiConfig::Environment::kAuto;
    } else if (text == "production") {
      config->environment = AppleServerApiConfig::Environment::kProduction;
    } else if (text == "sandbox") {
      config->environment = AppleServerApiConfig::Environment::kSandbox;
    } else {
      return Wrong("environment", "must be \"auto\", \"production\" or \"sandbox\"", error);
    }
  }
  std::lock_guard<std::mutex> lock(config_mutex);
  the_apple_server_api = std::move(config);
  return true;
}

std::shared_ptr<const AppleServerApiConfig> GetAppleServerApiConfig() {
  std::lock_guard<std::mutex> lock(config_mutex);
  return the_apple_server_api;
}

bool MakeAppStoreServerApiToken(const AppleServerApiConfig& config, int64_t issued_at,
                                std::string* token) {
  Json header = Json::Object();
  header.SetString("alg", "ES256");
  header.SetString("kid", config.key_id);
  header.SetString("typ", "JWT");
  Json claims = Json::Object();
  claims.SetString("iss", config.issuer_id);
  claims.SetAttribute("iat", Json(issued_at));
  claims.SetAttribute("exp", Json(issued_at + kTokenLifetimeSeconds));
  claims.SetString("aud", "appstoreconnect-v1");
  claims.SetString("bid", config.bundle_id);
  return jwt::MakeJws(header, claims, *config.key, token);
}

int64_t RemainingRetryAfterWait(int64_t retry_after_ms, int64_t now_ms, int64_t max_wait) {
  if (retry_after_ms <= now_ms) return 0;
  // Compared in milliseconds: a far-off time must not overflow.
  if (retry_after_ms - now_ms >= max_wait / 1000) return max_wait;
  return (retry_after_ms - now_ms) * 1000;
}

std::string AppleServerApiMismatch(const Json& p, const Json& receipt,
                                   const AppleServerApiConfig& config) {
  if (!p.HasAttribute("bundleId", Json::kString) || p.GetString("bundleId") != config.bundle_id) {
    return "bundleId is not the configured bundle_id";
  }
  if (!p.HasAttribute("transactionId", Json::kString) || p.GetString("transactionId").empty() ||
      !p.HasAttribute("productId", Json::kString) ||
      !p.HasAttribute("purchaseDate", Json::kInteger)) {
    return "the payload lacks transactionId, productId or purchaseDate";
  }
  if (receipt.HasAttribute(kAppleAppStoreTransactionIdKey) &&
      p.GetString("transactionId") != receipt.GetString(kAppleAppStoreTransactionIdKey)) {
    return "the payload is of another transaction";
  }
  return std::string();
}

std::string AppleDateTimeText(int64_t millis) {
  std::string text = boost::posix_time::to_iso_extended_string(WallClock::FromMsec(millis));
  text = text.substr(0, 19);
  if (text.size() > 10) text[10] = ' ';
  return text;
}

bool IsWellFormedAppleServerApiReceipt(const Json& receipt) {
  auto has_text = [&receipt](const char* key) {
    return receipt.HasAttribute(key, Json::kString) && !receipt.GetString(key).empty();
  };
  const bool by_id = receipt.HasAttribute(kAppleAppStoreTransactionIdKey);
  return has_text(kAppleAppStoreProductIdKey) &&
         by_id != receipt.HasAttribute(kAppleAppStoreSignedTransactionKey) &&
         has_text(by_id ? kAppleAppStoreTransactionIdKey : kAppleAppStoreSignedTransactionKey);
}

bool IsAppleServerApiReceipt(const Json& receipt) {
  return !receipt.HasAttribute(kAppleAppStoreReceiptDataKey) &&
         (receipt.HasAttribute(kAppleAppStoreTransactionIdKey) ||
          receipt.HasAttribute(kAppleAppStoreSignedTransactionKey));
}

std::shared_ptr<AppleServerApiAdapter> AppleServerApiAdapter::Create(
    std::shared_ptr<IoContext> io, std::shared_ptr<const AppleServerApiConfig> config) {
  return std::shared_ptr<AppleServerApiAdapter>(
      new AppleServerApiAdapter(std::move(io), std::move(config)));
}

void AppleServerApiAdapter::GetTransactionInfo(const std::string& transaction_id,
                                               Callback callback) {
  transaction_id_ = transaction_id;
  callback_ = std::move(callback);
  Ask(config_->environment == AppleServerApiConfig::Environment::kSandbox, false);
}

void AppleServerApiAdapter::GetTransactionInfoAfter(
    const std::shared_ptr<int64_t>& retry_after_ms, const std::string& transaction_id,
    Callback callback) {
  auto ask = [self = shared_from_this(), retry_after_ms, transaction_id,
              callback = std::move(callback)] {
    self->GetTransactionInfo(transaction_id, [retry_after_ms, callback](
                                                 const boost::system::error_code& error,
                                                 const Answer& answer) {
      *retry_after_ms = answer.retry_after_ms;
      callback(error, answer);
    });
  };
  const int64_t now_ms = (WallClock::Now() - WallClock::kEpochClock).total_milliseconds();
  const int64_t wait = RemainingRetryAfterWait(*retry_after_ms, now_ms, kBackoffMaxWaitTime);
  if (wait > 0) {
    RawTimer::ExpireAfter(wait, std::move(ask));
  } else {
    ask();
  }
}

void AppleServerApiAdapter::Ask(bool sandbox, bool renewed_token) {
  std::string token;
  if (!MakeAppStoreServerApiToken(*config_, WallClock::ToSeconds(WallClock::Now()), &token)) {
    LOG(ERROR) << kTag << "Failed to sign the App Store Server API token";
    Finish(MakeBillerError(kServiceProviderCommunicationError), Answer());
    return;
  }
  const auto endpoints = GetStoreEndpoints();
  const std::string& base = sandbox ? endpoints->apple_server_api_sandbox_base
                                    : endpoints->apple_server_api_production_base;
  http_client_ = std::make_shared<HttpClient>(io_);
  http_client_->SetHeader("Authorization", "Bearer " + token);
  http_client_->GetAsync(
      base + "/inApps/v1/transactions/" + UrlPathSegment(transaction_id_),
      [self = shared_from_this(), sandbox, renewed_token](http::TransportCode code,
                                                          const http::Response& response) {
        self->OnAnswer(sandbox, renewed_token, code, response);
      },
      0);
}

void AppleServerApiAdapter::OnAnswer(bool sandbox, bool renewed_token, http::TransportCode code,
                                     const http::Response& response) {
  const char* environment = sandbox ? "sandbox" : "production";
  const int status = response.status_code;
  Answer answer;
  answer.is_sandbox = sandbox;
  if (IsRetryable(code, status) || status == 429) {
    LOG(ERROR) << kTag << "Failed to get transaction info" << ": code=" << code
               << ", status_code=" << status << ", environment=" << environment
               << ", message=" << ForLog(response.body);
    if (status == 429) answer.retry_after_ms = RetryAfterOf(response);
    Finish(MakeCommonError(kHttpRequestFailure), answer);
    return;
  }
  if (status == 401) {
    if (renewed_token) {
      LOG(ERROR) << kTag << "App Store Server API refused the token twice"
                 << ": environment=" << environment << ", key_id=" << config_->key_id;
      Finish(MakeBillerError(kServiceProviderCommunicationError), answer);
      return;
    }
    LOG(WARNING) << kTag << "App Store Server API refused the token, asking again with a new one"
                 << ": environment=" << environment;
    Ask(sandbox, true);
    return;
  }
  Json body;
  const bool parsed = body.FromString(response.body) && body.IsObject();
  if (status == 404 && parsed && body.HasAttribute("errorCode", Json::kInteger) &&
      body.GetInteger("errorCode") == kTransactionIdNotFound) {
    if (!sandbox && config_->environment == AppleServerApiConfig::Environment::kAuto) {
      LOG(INFO) << kTag << "Transaction not found in production, asking the sandbox"
                << ": transaction_id=" << Json(transaction_id_).ToString();
      Ask(true, false);
      return;
    }
    answer.refusal = "transaction id not found";
    Finish({}, answer);
    return;
  }
  if (status >= 400 && status < 500) {
    LOG(WARNING) << kTag << "Transaction info refused" << ": status_code=" << status
                 << ", environment=" << environment << ", message=" << ForLog(response.body);
    answer.refusal = "the transaction id was refused";
    Finish({}, answer);
    return;
  }
  if (status != 200 || !parsed || !body.HasAttribute("signedTransactionInfo", Json::kString)) {
    LOG(ERROR) << kTag << "Failed to parse the transaction info" << ": status_code=" << status
               << ", body=" << ForLog(response.body);
    Finish(MakeBillerError(kServiceProviderProtocolError), answer);
    return;
  }
  answer.signed_transaction = body.GetString("signedTransactionInfo");
  jws::Verified verified = config_->verifier->Verify(answer.signed_transaction);
  if (!verified.ok) {
    answer.refusal = verified.refusal;
  } else {
    answer.found = true;
    answer.payload = std::move(verified.payload);
  }
  Finish({}, answer);
}

void AppleServerApiAdapter::Finish(const boost::system::error_code& error, const Answer& answer) {
  // The callback may start the next attempt; this adapter is done.
  Callback callback = std::move(callback_);
  callback_ = nullptr;
  if (callback) callback(error, answer);
}

}  // namespace tvx
