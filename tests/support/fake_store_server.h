// Loopback fakes of the stores' web services, speaking the stores' protocols.
#ifndef TESTS_SUPPORT_FAKE_STORE_SERVER_H_
#define TESTS_SUPPORT_FAKE_STORE_SERVER_H_

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <openssl/types.h>

#include <boost/asio/executor_work_guard.hpp>

#include "framework/io_service.h"
#include "framework/json.h"

namespace tvx::testing {

// `value` read under `mutex`.
template <typename T>
T LockedCopy(std::mutex& mutex, const T& value) {
  std::lock_guard<std::mutex> lock(mutex);
  return value;
}

struct FakeRequest {
  std::string method{};
  std::string target{};  // path and query as sent
  std::string path{};
  std::string body{};
  std::map<std::string, std::string> headers{};  // names in lower case
  int64_t received_ms = 0;

  std::string Header(const std::string& lower_case_name) const {
    return headers.contains(lower_case_name) ? headers.at(lower_case_name) : "";
  }
  std::string Bearer() const {  // the "Bearer" authorization's token, "" when none
    return Header("authorization").starts_with("Bearer ") ? Header("authorization").substr(7) : "";
  }
};

// Sent with content type application/json.
struct FakeResponse {
  int status = 200;
  std::string body{};
  std::chrono::milliseconds delay{0};
  std::vector<std::pair<std::string, std::string>> headers{};
  bool close = false;  // close the connection without answering

  static FakeResponse Json(int status, const tvx::Json& body) {
    return Raw(status, body.ToString(false));
  }
  static FakeResponse Raw(int status, std::string body = "") {
    return {.status = status, .body = std::move(body)};
  }
  // No answer while a test runs; the connection stays open.
  static FakeResponse Hang() { return {.delay = std::chrono::hours(24)}; }
};

tvx::Json JsonObject(std::initializer_list<std::pair<const char*, tvx::Json>> members);
tvx::Json JsonArray(const std::vector<tvx::Json>& elements);
// `json` with `member` set to `value`, or without it when `value` is null.
tvx::Json With(tvx::Json json, const char* member, const tvx::Json& value);

// An HTTP/1.1 server on a free 127.0.0.1 port and a thread of its own; unrouted requests get 404.
class FakeHttpServer {
 public:
  using Handler = std::function<FakeResponse(const FakeRequest&)>;

  FakeHttpServer();
  // Closes every connection, answered or not: they go with the context's handlers.
  ~FakeHttpServer();

  std::string Url(const std::string& path = "") const;

  // A path ending in '/' also takes the paths under it; the longest route that matches wins.
  void Route(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[{method, path}] = std::move(handler);
  }

  // Requests received whose path starts with `path`.
  std::vector<FakeRequest> Requests(const std::string& path = "") const;
  int RequestCount(const std::string& path = "") const { return Requests(path).size(); }
  int ConnectionCount() const { return connections_.load(); }

 private:
  struct Impl;
  FakeResponse Dispatch(const FakeRequest& request);

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Handler> routes_;  // GUARDED_BY(mutex_)
  std::vector<FakeRequest> requests_;                              // GUARDED_BY(mutex_)
  std::atomic<int> connections_{0};
  std::unique_ptr<Impl> impl_;
};

// Answers per key, taken in turn, the last repeating. Thread-safe.
class ScriptedAnswers {
 public:
  void Set(const std::string& key, std::vector<FakeResponse> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[key] = std::deque<FakeResponse>(answers.begin(), answers.end());
  }
  std::optional<FakeResponse> Next(const std::string& key);

 private:
  std::mutex mutex_;
  std::map<std::string, std::deque<FakeResponse>> scripts_;  // GUARDED_BY(mutex_)
};

// A store with a production and a test endpoint, each scripted per key.
class FakeTwoEndpointStore {
 public:
  void Script(int endpoint, const std::string& key, std::vector<FakeResponse> answers) {
    scripts_[endpoint].Set(key, std::move(answers));
  }
  int RequestCount(int endpoint) const { return server_->RequestCount(endpoints_[endpoint].first); }
  // The endpoints' URLs under the names "store_endpoints" gives them.
  void AddEndpoints(tvx::Json* endpoints) const {
    for (const auto& [path, name] : endpoints_) endpoints->SetString(name, server_->Url(path));
  }

 protected:
  using Endpoint = std::pair<std::string, std::string>;  // path, "store_endpoints" name
  FakeTwoEndpointStore(FakeHttpServer* server, Endpoint production, Endpoint test)
      : server_(server), endpoints_{production, test} {}
  // Both endpoints take a POSTed JSON object of exactly the string `members`, keyed by the first.
  void RouteJsonPosts(std::vector<std::string> members, const FakeResponse& malformed,
                      const FakeResponse& unscripted);

  FakeHttpServer* const server_;
  const Endpoint endpoints_[2];
  ScriptedAnswers scripts_[2];
};

// Apple's receipt verification; malformed requests and unscripted receipts get 21002.
class FakeAppleStore : public FakeTwoEndpointStore {
 public:
  enum Endpoint { kProduction, kSandbox };
  static constexpr int64_t kSandboxReceipt = 21007;

  explicit FakeAppleStore(FakeHttpServer* server);

  static tvx::Json Purchase(const std::string& product_id, const std::string& quantity,
                            const std::string& transaction_id);
  static FakeResponse Verified(const std::vector<tvx::Json>& in_app);
  static FakeResponse Status(int64_t status) {
    return FakeResponse::Json(200, JsonObject({{"status", status}}));
  }
};

// TStore's signature confirmation; malformed requests get detail "1000", unscripted txids "9100".
class FakeTStore : public FakeTwoEndpointStore {
 public:
  enum Endpoint { kProduction, kDevelopment };

  explicit FakeTStore(FakeHttpServer* server);

  static tvx::Json Product(const std::string& appid, const std::string& product_id);
  static FakeResponse Confirmed(const std::vector<tvx::Json>& products);
};

// PKCS#8 private key, as Google issues them.
struct PemKeyPair {
  std::string private_pem, public_pem;
};
using RsaKeyPair = PemKeyPair;
PemKeyPair PemKeyPairOf(EVP_PKEY* key);
RsaKeyPair GenerateRsaKeyPair(unsigned int bits = 2048);
// SHA-256 signature check: RS256, or ES256 in DER form.
bool VerifyRs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature);

// The App Store Server API's Get Transaction Info; bearer tokens are checked as Apple does (401).
class FakeAppleServerApi : public FakeTwoEndpointStore {
 public:
  enum Environment { kProduction, kSandbox };
  static constexpr char kBundleId[] = "com.example.game";

  explicit FakeAppleServerApi(FakeHttpServer* server);

  // The "apple_app_store_server_api" install argument for this fake.
  tvx::Json Argument(const std::string& environment = "auto") const;

  static FakeResponse Found(const std::string& signed_transaction) {
    return FakeResponse::Json(200, JsonObject({{"signedTransactionInfo", signed_transaction}}));
  }
  static FakeResponse RateLimited(int64_t retry_after_ms);
  static FakeResponse Unauthorized() { return FakeResponse::Raw(401); }

 private:
  FakeResponse Answer(Environment environment, const FakeRequest& request);
  bool AcceptsToken(const FakeRequest& request) const;  // as Apple would

  const PemKeyPair key_;
};

// How a fake store answers one account's token requests.
struct TokenScript {
  std::chrono::milliseconds delay{0};  // before every answer, refusals included
  std::optional<FakeResponse> answer{};  // when set, the answer to every request
};

// Accounts, their tokens and purchase queries: unissued tokens get 401, unscripted purchases 404.
class FakeTokenStore {
 public:
  // Token requests of an account, named by its client id or JWT issuer.
  int TokenRequestCount(const std::string& account) const {
    return LockedCopy(mutex_, token_requests_)[account];
  }
  void SetPurchase(const std::string& purchase, std::vector<FakeResponse> answers) {
    purchases_.Set(purchase, std::move(answers));
  }

 protected:
  struct Account {
    std::string secret{};
    std::string grant{};       // a Google OAuth client's refresh token, a PlayStation auth code
    std::string public_pem{};  // Google service accounts
    TokenScript script{};
    int tokens = 0;
  };
  using TokenAnswerer = std::function<FakeResponse(const FakeRequest&, std::string* account)>;

  explicit FakeTokenStore(FakeHttpServer* server) : server_(server) {}
  void AddAccount(const std::string& name, Account account) {
    std::lock_guard<std::mutex> lock(mutex_);
    accounts_[name] = std::move(account);
  }
  // `answer` runs holding mutex_ and names the account, whose requests are counted and get its
  // scripted answer, if any, instead, after its delay.
  void RouteToken(const std::string& path, TokenAnswerer answer);
  // Holds mutex_; the token answer, valid for an hour.
  FakeResponse IssueToken(const std::string& prefix, const std::string& name);
  FakeResponse AnswerPurchase(const std::string& purchase, const std::string& access_token);
  bool Issued(const std::string& token) const {
    return LockedCopy(mutex_, issued_).contains(token);
  }

  FakeHttpServer* const server_;
  mutable std::mutex mutex_;
  std::map<std::string, Account> accounts_;  // GUARDED_BY(mutex_)
  std::set<std::string> issued_;             // GUARDED_BY(mutex_)

 private:
  ScriptedAnswers purchases_;
  std::map<std::string, int> token_requests_;  // GUARDED_BY(mutex_)
};

// Google's OAuth token service (refresh-token and JWT-bearer grants, JWTs checked as Google does),
// the purchase query and the voided-purchases list, paged by two, oldest voided first.
class FakeGoogleStore : public FakeTokenStore {
 public:
  struct ListRequest {
    std::string package_name;
    int64_t start_time_ms = 0;
    std::string page_token;
  };

  explicit FakeGoogleStore(FakeHttpServer* server);

  void AddEndpoints(tvx::Json* endpoints) const;
  void AddOAuthClient(const std::string& client_id, const std::string& client_secret,
                      const std::string& refresh_token, TokenScript script = {}) {
    AddAccount(client_id, {.secret = client_secret, .grant = refresh_token, .script = script});
  }
  void AddServiceAccount(const std::string& client_email, const std::string& public_pem) {
    AddAccount(client_email, {.public_pem = public_pem});
  }
  static tvx::Json MakePurchase(int purchase_state);

  std::string LastRefusal() const { return LockedCopy(mutex_, last_refusal_); }
  tvx::Json LastJwtClaims() const { return LockedCopy(mutex_, last_claims_); }

  // voidedReason 7, chargeback.
  void Void(const std::string& package_name, const std::string& purchase_token, int64_t voided_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    voided_[package_name].emplace(voided_ms, purchase_token);
  }
  std::vector<ListRequest> ListRequests() const { return LockedCopy(mutex_, list_requests_); }

 private:
  FakeResponse ListVoided(const std::string& package_name, const FakeRequest& request);
  FakeResponse AnswerOAuthToken(const FakeRequest& request, std::string* name);
  FakeResponse AnswerJwtToken(const FakeRequest& request, std::string* name);
  FakeResponse Refuse(int status, const std::string& error, const std::string& description);

  std::string last_refusal_;  // GUARDED_BY(mutex_)
  tvx::Json last_claims_;     // GUARDED_BY(mutex_)
  std::map<std::string, std::multimap<int64_t, std::string>> voided_;  // GUARDED_BY(mutex_)
  std::vector<ListRequest> list_requests_;                             // GUARDED_BY(mutex_)
};

// OneStore's token service and purchase query under `prefix`.
class FakeOneStore : public FakeTokenStore {
 public:
  FakeOneStore(FakeHttpServer* server, std::string prefix);

  std::string api_base() const { return server_->Url(prefix_); }

  void AddClient(const std::string& client_id, const std::string& client_secret,
                 TokenScript script = {}) {
    AddAccount(client_id, {.secret = client_secret, .script = script});
  }
  static tvx::Json MakePurchase(int purchase_state, int64_t purchase_time = 1700000000123);

 private:
  FakeResponse AnswerToken(const FakeRequest& request, std::string* name);

  const std::string prefix_;
};

// One PlayStation environment: the token endpoint (authorization-code grant), the base-URL service
// and the entitlements scripted per id and service label, each checking what the platform checks.
class FakePlayStation : public FakeTokenStore {
 public:
  // `environment`: "dev", "qa" or "production".
  FakePlayStation(FakeHttpServer* server, std::string environment);

  void AddEndpoints(tvx::Json* endpoints) const;

  void AddClient(const std::string& client_id, const std::string& secret,
                 const std::string& auth_code);
  void ScriptEntitlement(const std::string& id, int64_t service_label,
                         std::vector<FakeResponse> answers) {
    SetPurchase(id + "?service_label=" + std::to_string(service_label), std::move(answers));
  }
  static tvx::Json Entitlement(const std::string& id, bool is_consumable, int64_t use_count,
                               int64_t use_limit);

 private:
  FakeResponse AnswerToken(const FakeRequest& request, std::string* name);

  const std::string prefix_;  // "/psn/<environment>"
};

// An io context run by threads of its own.
class TestIoContext {
 public:
  explicit TestIoContext(int threads = 2)
      : io_(std::make_shared<tvx::IoContext>(threads)), work_(io_->get_executor()) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([io = io_] { io->run(); });
  }
  ~TestIoContext() { io_->stop(); }  // the threads join after
  const std::shared_ptr<tvx::IoContext>& io() const { return io_; }

 private:
  std::shared_ptr<tvx::IoContext> io_;
  boost::asio::executor_work_guard<tvx::IoContext::executor_type> work_;
  std::vector<std::jthread> threads_;
};

// "store_endpoints" for the fakes given (each may be null).
tvx::Json MakeStoreEndpoints(const FakeGoogleStore* google, const FakeOneStore* one_store,
                             const FakeOneStore* one_store_test);

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_STORE_SERVER_H_
