// Loopback fakes of the stores' web services: FakeHttpServer serves scripted
// routes, on which the store fakes speak the stores' real protocols, so the
// biller talks to them as to the stores once "store_endpoints" points here.
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
#include <string>
#include <thread>
#include <vector>

#include <openssl/types.h>

#include "framework/io_service.h"
#include "framework/json.h"

namespace tvx::testing {

struct FakeRequest {
  std::string method{};
  std::string target{};  // path and query as sent
  std::string path{};
  std::string body{};
  std::map<std::string, std::string> headers{};  // names in lower case

  std::string Header(const std::string& lower_case_name) const;
  // The body's application/x-www-form-urlencoded fields, decoded.
  std::map<std::string, std::string> Form() const;
  // The query's parameters, decoded.
  std::map<std::string, std::string> Query() const;
};

struct FakeResponse {
  int status = 200;
  std::string body{};
  std::string content_type = "application/json";
  std::chrono::milliseconds delay{0};  // before the answer is sent
  bool hang = false;                   // never answer; the connection stays open
  std::vector<std::pair<std::string, std::string>> headers{};  // added to the answer
  bool close = false;                  // close the connection without answering

  static FakeResponse Json(int status, const tvx::Json& body);
  static FakeResponse Raw(int status, std::string body = "");
  static FakeResponse Hang();
};

tvx::Json JsonObject(std::initializer_list<std::pair<const char*, tvx::Json>> members);
tvx::Json JsonArray(const std::vector<tvx::Json>& elements);
// Decodes %XX and '+' as in form bodies.
std::string FormDecode(const std::string& text);

// A compact JWS taken apart; false when `token` is not one.
struct DecodedJwt {
  std::string header_text, claims_text, signing_input, signature;
  tvx::Json header, claims;
};
bool DecodeJwt(const std::string& token, DecodedJwt* jwt);

class FakeHttpServer {
 public:
  using Handler = std::function<FakeResponse(const FakeRequest&)>;

  // Listens on 127.0.0.1 on a free port, served by a thread of its own.
  FakeHttpServer();
  // Closes every connection, answered or not.
  ~FakeHttpServer();
  FakeHttpServer(const FakeHttpServer&) = delete;
  FakeHttpServer& operator=(const FakeHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(const std::string& path = "") const;

  // Requests of exactly this method and path (a later route replaces an
  // earlier one). Handlers run on the server's thread. Unrouted: 404.
  void Route(const std::string& method, const std::string& path, Handler handler);
  // Paths starting with `prefix` when no exact route matches; longest wins.
  void RoutePrefix(const std::string& method, const std::string& prefix, Handler handler);

  // Requests received whose path starts with `path`.
  int RequestCount(const std::string& path = "") const;
  std::vector<FakeRequest> Requests(const std::string& path = "") const;
  // TCP connections accepted so far.
  int ConnectionCount() const { return connections_.load(); }

 private:
  struct Impl;
  friend struct Impl;
  FakeResponse Dispatch(const FakeRequest& request);

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Handler> routes_;         // GUARDED_BY(mutex_)
  std::map<std::pair<std::string, std::string>, Handler> prefix_routes_;  // GUARDED_BY(mutex_)
  std::vector<FakeRequest> requests_;                                     // GUARDED_BY(mutex_)
  std::atomic<int> connections_{0};
  int port_ = 0;
  std::unique_ptr<Impl> impl_;
};

// Scripted answers by a key the request carries (a receipt, a token): each
// request takes the next of its key's list, the last repeating. Thread-safe.
class ScriptedAnswers {
 public:
  void Set(const std::string& key, std::vector<FakeResponse> answers);
  // nullopt when nothing is scripted for `key`.
  std::optional<FakeResponse> Next(const std::string& key);

 private:
  std::mutex mutex_;
  std::map<std::string, std::deque<FakeResponse>> scripts_;  // GUARDED_BY(mutex_)
};

// A store with a production and a test endpoint, each with its own script,
// named in "store_endpoints" by the two keys. A request must be a JSON object
// of exactly the string `members`; it takes the next answer scripted for its
// first member's value.
class FakeTwoEndpointStore {
 public:
  std::string url(int endpoint) const { return server_->Url(paths_[endpoint]); }
  void Script(int endpoint, const std::string& key, std::vector<FakeResponse> answers) {
    scripts_[endpoint].Set(key, std::move(answers));
  }
  int RequestCount(int endpoint) const { return server_->RequestCount(paths_[endpoint]); }
  // Adds both endpoints' urls to `endpoints`.
  void AddEndpoints(tvx::Json* endpoints) const;

 protected:
  struct Endpoint {
    const char* path;
    const char* key;
  };
  FakeTwoEndpointStore(FakeHttpServer* server, Endpoint production, Endpoint test,
                       std::vector<std::string> members, const FakeResponse& malformed,
                       const FakeResponse& unscripted);

 private:
  FakeHttpServer* const server_;
  const std::string paths_[2];
  const std::string keys_[2];
  ScriptedAnswers scripts_[2];
};

// How a fake store answers the token requests of one account.
struct TokenScript {
  int64_t expires_in = 3600;
  std::chrono::milliseconds delay{0};  // before every answer, refusals included
  // When set, the answer to every token request of the account.
  std::optional<FakeResponse> answer{};
};

// A key pair as PEM texts (PKCS#8 private key, as Google issues them).
struct PemKeyPair {
  std::string private_pem;
  std::string public_pem;
};
using RsaKeyPair = PemKeyPair;
PemKeyPair PemKeyPairOf(EVP_PKEY* key);
// A fresh key pair, 2048-bit unless told.
RsaKeyPair GenerateRsaKeyPair(unsigned int bits = 2048);
// True when `signature` is the SHA-256 signature of `data` by the key (RS256,
// or ES256 in DER form).
bool VerifyRs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature);

// What the Google and OneStore fakes share: accounts, their token requests
// and tokens, and purchase queries answered per purchase by script.
class FakeTokenStore {
 public:
  // Token requests naming the account (client id or JWT issuer).
  int TokenRequestCount(const std::string& account) const;
  // The answers to one purchase's queries, in turn, the last repeating. A
  // token the fake did not issue gets 401, an unscripted purchase 404.
  void SetPurchase(const std::string& purchase, std::vector<FakeResponse> answers);
  // Queries naming the purchase (decoded), answered or not.
  int PurchaseRequestCount(const std::string& purchase) const;

 protected:
  struct Account {
    std::string secret{};
    std::string refresh_token{};  // Google OAuth clients
    std::string public_pem{};     // Google service accounts
    TokenScript script{};
    int requests = 0;
    std::vector<std::string> tokens{};
  };
  using TokenAnswerer = std::function<FakeResponse(const FakeRequest&, std::string* account)>;

  // Routes POST `path` to `answer`, run holding mutex_, which names the
  // account asking; the answer comes after that account's scripted delay.
  void RouteToken(FakeHttpServer* server, const std::string& path, TokenAnswerer answer);
  // Counts a token request; the account's scripted answer if any. Holds mutex_.
  std::optional<FakeResponse> CountTokenRequest(const std::string& name);
  // A new token "<prefix><name>.<n>". Holds mutex_.
  std::string IssueToken(const std::string& prefix, const std::string& name);
  // The answer to a purchase query carrying `access_token`.
  FakeResponse AnswerPurchase(const std::string& purchase, const std::string& access_token,
                              const std::string& not_found);

  mutable std::mutex mutex_;
  std::map<std::string, Account> accounts_;  // GUARDED_BY(mutex_)

 private:
  ScriptedAnswers purchases_;
  std::map<std::string, int> purchase_requests_;  // GUARDED_BY(mutex_)
};

// Google's OAuth 2.0 token service (refresh-token grant; JWT-bearer grant
// whose JWT is checked as Google does: RS256 by the account's key, "iss",
// "scope", "aud", at most an hour's lifetime around now) and the Android
// Publisher purchase query, scripted per purchase token.
class FakeGoogleStore : public FakeTokenStore {
 public:
  explicit FakeGoogleStore(FakeHttpServer* server);

  std::string oauth_token_url() const;
  std::string jwt_token_url() const;
  std::string api_base() const { return server_->Url(); }

  void AddOAuthClient(const std::string& client_id, const std::string& client_secret,
                      const std::string& refresh_token, TokenScript script = {});
  void AddServiceAccount(const std::string& client_email, const std::string& public_pem,
                         TokenScript script = {});

  // The last purchase query received (empty before any).
  FakeRequest LastPurchaseRequest() const;
  // A purchase object as Google answers it.
  static tvx::Json MakePurchase(int purchase_state, const std::string& order_id = "GPA.1",
                                const std::string& purchase_time_millis = "1700000000123");

  // Why the last refused request was refused ("" when none was).
  std::string LastRefusal() const;
  // The claims of the last JWT received (null before any).
  tvx::Json LastJwtClaims() const;

 private:
  FakeResponse AnswerOAuthToken(const FakeRequest& request, std::string* name);
  FakeResponse AnswerJwtToken(const FakeRequest& request, std::string* name);
  FakeResponse Refuse(int status, const std::string& error, const std::string& description);
  FakeResponse Issue(const std::string& name);

  FakeHttpServer* const server_;
  std::vector<FakeRequest> purchase_log_;  // GUARDED_BY(mutex_)
  std::string last_refusal_;               // GUARDED_BY(mutex_)
  tvx::Json last_claims_;                  // GUARDED_BY(mutex_)
};

// OneStore's token service (client-credentials grant) and purchase query
// under one API base; production and test are two instances.
class FakeOneStore : public FakeTokenStore {
 public:
  // Routes `<prefix>/v2/oauth/token` and the purchase query.
  FakeOneStore(FakeHttpServer* server, std::string prefix);

  std::string api_base() const { return server_->Url(prefix_); }

  void AddClient(const std::string& client_id, const std::string& client_secret,
                 TokenScript script = {});
  // A purchase object as OneStore answers it.
  static tvx::Json MakePurchase(int purchase_state, int64_t purchase_time = 1700000000123);

 private:
  FakeResponse AnswerToken(const FakeRequest& request, std::string* name);

  FakeHttpServer* const server_;
  const std::string prefix_;
};

// An io context run by threads of its own; stops and joins when it goes.
class TestIoContext {
 public:
  explicit TestIoContext(int threads = 2);
  ~TestIoContext();
  TestIoContext(const TestIoContext&) = delete;
  TestIoContext& operator=(const TestIoContext&) = delete;
  const std::shared_ptr<tvx::IoContext>& io() const { return io_; }

 private:
  std::shared_ptr<tvx::IoContext> io_;
  std::shared_ptr<void> work_;
  std::vector<std::thread> threads_;
};

// The "store_endpoints" install argument pointing the Google and OneStore
// addresses at the fakes (either may be null).
tvx::Json MakeStoreEndpoints(const FakeGoogleStore* google, const FakeOneStore* one_store,
                             const FakeOneStore* one_store_test);

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_STORE_SERVER_H_
