#include "tests/support/fake_store_server.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <sstream>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <glog/logging.h>

#include "framework/clock.h"
#include "framework/jwt.h"

namespace tvx::testing {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = boost::asio::ip::tcp;

// ---------------------------------------------------------------------------
// FakeRequest / FakeResponse

std::string FakeRequest::Header(const std::string& lower_case_name) const {
  auto it = headers.find(lower_case_name);
  return it == headers.end() ? std::string() : it->second;
}

std::string FormDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::map<std::string, std::string> FakeRequest::Form() const {
  std::map<std::string, std::string> fields;
  std::istringstream pairs(body);
  for (std::string pair; std::getline(pairs, pair, '&');) {
    const size_t eq = pair.find('=');
    if (!pair.empty()) {
      fields[FormDecode(pair.substr(0, eq))] =
          eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1));
    }
  }
  return fields;
}

tvx::Json JsonObject(std::initializer_list<std::pair<const char*, tvx::Json>> members) {
  tvx::Json object = tvx::Json::Object();
  for (const auto& [name, value] : members) object.SetAttribute(name, value);
  return object;
}

tvx::Json JsonArray(const std::vector<tvx::Json>& elements) {
  tvx::Json array = tvx::Json::Array();
  for (const tvx::Json& element : elements) array.PushBack(element);
  return array;
}

FakeResponse FakeResponse::Json(int status, const tvx::Json& body) {
  return Raw(status, body.ToString(false));
}

FakeResponse FakeResponse::Raw(int status, std::string body) {
  return FakeResponse{.status = status, .body = std::move(body)};
}

FakeResponse FakeResponse::Hang() { return FakeResponse{.hang = true}; }

// ---------------------------------------------------------------------------
// FakeHttpServer

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  using Dispatcher = std::function<FakeResponse(const FakeRequest&)>;
  using Parker = std::function<void(std::shared_ptr<Session>)>;

  Session(tcp::socket socket, Dispatcher dispatch, Parker park)
      : stream_(std::move(socket)),
        timer_(stream_.get_executor()),
        dispatch_(std::move(dispatch)),
        park_(std::move(park)) {}

  void Read() {
    request_ = {};
    bhttp::async_read(stream_, buffer_, request_,
                      [self = shared_from_this()](beast::error_code ec, size_t) {
                        self->OnRead(ec);
                      });
  }

 private:
  void OnRead(beast::error_code ec) {
    if (ec) return;  // closed or garbled: the session ends
    FakeRequest request;
    request.method = std::string(request_.method_string());
    request.target = std::string(request_.target());
    request.path = request.target.substr(0, request.target.find('?'));
    request.body = request_.body();
    for (const auto& field : request_) {
      std::string name(field.name_string());
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      request.headers[name] = std::string(field.value());
    }
    FakeResponse answer = dispatch_(request);
    if (answer.hang) {
      park_(shared_from_this());
      return;
    }
    if (answer.close) {
      beast::error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
      stream_.socket().close(ignored);
      return;
    }
    keep_alive_ = request_.keep_alive();
    if (answer.delay.count() > 0) {
      timer_.expires_after(answer.delay);
      timer_.async_wait([self = shared_from_this(), answer](beast::error_code wait_error) {
        if (!wait_error) self->Write(answer);
      });
      return;
    }
    Write(answer);
  }

  void Write(const FakeResponse& answer) {
    response_ = {};
    response_.version(11);
    response_.result(static_cast<unsigned>(answer.status));
    response_.set(bhttp::field::content_type, answer.content_type);
    for (const auto& [name, value] : answer.headers) response_.set(name, value);
    response_.body() = answer.body;
    response_.keep_alive(keep_alive_);
    response_.prepare_payload();
    bhttp::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return;
      if (!self->keep_alive_) {
        beast::error_code ignored;
        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        return;
      }
      self->Read();
    });
  }

  beast::tcp_stream stream_;
  boost::asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  bhttp::request<bhttp::string_body> request_;
  bhttp::response<bhttp::string_body> response_;
  bool keep_alive_ = true;
  Dispatcher dispatch_;
  Parker park_;
};

}  // namespace

struct FakeHttpServer::Impl {
  explicit Impl(FakeHttpServer* owner) : owner(owner) {}

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;  // stopped
      owner->connections_.fetch_add(1);
      std::make_shared<Session>(
          std::move(socket), [this](const FakeRequest& r) { return owner->Dispatch(r); },
          // Runs on the server thread, like every handler here.
          [this](std::shared_ptr<Session> session) { parked.push_back(std::move(session)); })
          ->Read();
      Accept();
    });
  }

  FakeHttpServer* const owner;
  boost::asio::io_context io;
  tcp::acceptor acceptor{io};
  // Sessions told to hang, kept open until the server goes.
  std::vector<std::shared_ptr<Session>> parked;
  std::thread thread;
};

FakeHttpServer::FakeHttpServer() : impl_(std::make_unique<Impl>(this)) {
  const tcp::endpoint endpoint(boost::asio::ip::make_address("127.0.0.1"), 0);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  impl_->Accept();
  impl_->thread = std::thread([this] { impl_->io.run(); });
}

FakeHttpServer::~FakeHttpServer() {
  impl_->io.stop();
  impl_->thread.join();
  impl_->parked.clear();
}

std::string FakeHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void FakeHttpServer::Route(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[{method, path}] = std::move(handler);
}

void FakeHttpServer::RoutePrefix(const std::string& method, const std::string& prefix,
                                 Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  prefix_routes_[{method, prefix}] = std::move(handler);
}

int FakeHttpServer::RequestCount(const std::string& path) const {
  return static_cast<int>(Requests(path).size());
}

std::vector<FakeRequest> FakeHttpServer::Requests(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<FakeRequest> requests;
  for (const auto& request : requests_) {
    if (request.path.rfind(path, 0) == 0) requests.push_back(request);
  }
  return requests;
}

FakeResponse FakeHttpServer::Dispatch(const FakeRequest& request) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    auto exact = routes_.find({request.method, request.path});
    if (exact != routes_.end()) {
      handler = exact->second;
    } else {
      size_t best = 0;
      for (const auto& [key, candidate] : prefix_routes_) {
        if (key.first == request.method && request.path.rfind(key.second, 0) == 0 &&
            key.second.size() >= best) {
          best = key.second.size();
          handler = candidate;
        }
      }
    }
  }
  if (!handler) {
    return FakeResponse::Json(404, JsonObject({{"error", "not found: " + request.method + " " +
                                                           request.path}}));
  }
  return handler(request);
}

// ---------------------------------------------------------------------------
// RSA keys

PemKeyPair PemKeyPairOf(EVP_PKEY* key) {
  PemKeyPair pair;
  BIO* bio = BIO_new(BIO_s_mem());
  CHECK(PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  pair.private_pem.assign(data, static_cast<size_t>(size));
  BIO_free(bio);
  bio = BIO_new(BIO_s_mem());
  CHECK(PEM_write_bio_PUBKEY(bio, key) == 1);
  size = BIO_get_mem_data(bio, &data);
  pair.public_pem.assign(data, static_cast<size_t>(size));
  BIO_free(bio);
  return pair;
}

RsaKeyPair GenerateRsaKeyPair(unsigned int bits) {
  EVP_PKEY* key = EVP_RSA_gen(bits);
  CHECK(key) << "RSA key generation failed";
  RsaKeyPair pair = PemKeyPairOf(key);
  EVP_PKEY_free(key);
  return pair;
}

bool VerifyRs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature) {
  BIO* bio = BIO_new_mem_buf(public_pem.data(), static_cast<int>(public_pem.size()));
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!key) {
    ERR_clear_error();
    return false;
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const bool verified =
      EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(key);
  ERR_clear_error();
  return verified;
}

// ---------------------------------------------------------------------------
// Scripts and the store fakes' shared parts

void ScriptedAnswers::Set(const std::string& key, std::vector<FakeResponse> answers) {
  std::lock_guard<std::mutex> lock(mutex_);
  scripts_[key] = std::deque<FakeResponse>(answers.begin(), answers.end());
}

std::optional<FakeResponse> ScriptedAnswers::Next(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = scripts_.find(key);
  if (it == scripts_.end() || it->second.empty()) return std::nullopt;
  FakeResponse answer = it->second.front();
  if (it->second.size() > 1) it->second.pop_front();
  return answer;
}

FakeTwoEndpointStore::FakeTwoEndpointStore(FakeHttpServer* server, const char* production_path,
                                           const char* test_path, Answerer answer)
    : server_(server), paths_{production_path, test_path} {
  for (int endpoint : {0, 1}) {
    server_->Route("POST", paths_[endpoint], [this, endpoint, answer](const FakeRequest& request) {
      return answer(request, scripts_[endpoint]);
    });
  }
}

namespace {

bool IsFormRequest(const FakeRequest& request) {
  return request.Header("content-type").rfind("application/x-www-form-urlencoded", 0) == 0;
}

// The path's segments after `prefix`, each decoded.
std::vector<std::string> PathSegments(const std::string& path, const std::string& prefix) {
  std::vector<std::string> segments;
  const std::string rest = path.substr(prefix.size());
  for (size_t start = 0, slash = 0; slash != std::string::npos; start = slash + 1) {
    slash = rest.find('/', start);
    segments.push_back(FormDecode(rest.substr(start, slash - start)));
  }
  return segments;
}

// The decoded value of a query parameter of `target`, "" when absent.
std::string QueryValue(const std::string& target, const std::string& name) {
  FakeRequest query;
  const size_t mark = target.find('?');
  if (mark != std::string::npos) query.body = target.substr(mark + 1);
  return query.Form()[name];
}

FakeResponse PurchaseError(int status, const std::string& message) {
  return FakeResponse::Json(status,
                            JsonObject({{"error", JsonObject({{"code", status}, {"message", message}})}}));
}

}  // namespace

int FakeTokenStore::TokenRequestCount(const std::string& account) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = accounts_.find(account);
  return it == accounts_.end() ? 0 : it->second.requests;
}

void FakeTokenStore::SetPurchase(const std::string& purchase, std::vector<FakeResponse> answers) {
  purchases_.Set(purchase, std::move(answers));
}

int FakeTokenStore::PurchaseRequestCount(const std::string& purchase) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = purchase_requests_.find(purchase);
  return it == purchase_requests_.end() ? 0 : it->second;
}

std::optional<FakeResponse> FakeTokenStore::CountTokenRequest(const std::string& name) {
  auto it = accounts_.find(name);
  if (it == accounts_.end()) return std::nullopt;
  ++it->second.requests;
  return it->second.script.answer;
}

FakeResponse FakeTokenStore::Delayed(const std::string& name, FakeResponse response) const {
  auto it = accounts_.find(name);
  if (it != accounts_.end() && response.delay.count() == 0)
    response.delay = it->second.script.delay;
  return response;
}

std::string FakeTokenStore::IssueToken(const std::string& prefix, const std::string& name) {
  auto& tokens = accounts_[name].tokens;
  tokens.push_back(prefix + name + "." + std::to_string(tokens.size() + 1));
  return tokens.back();
}

FakeResponse FakeTokenStore::AnswerPurchase(const std::string& purchase,
                                            const std::string& access_token,
                                            const std::string& not_found) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++purchase_requests_[purchase];
    bool issued = false;
    for (const auto& [name, account] : accounts_) {
      for (const auto& token : account.tokens) issued = issued || token == access_token;
    }
    if (!issued) return PurchaseError(401, "invalid credentials");
  }
  auto answer = purchases_.Next(purchase);
  return answer ? *answer : PurchaseError(404, not_found);
}

// ---------------------------------------------------------------------------
// FakeGoogleStore

namespace {

constexpr char kGooglePurchasePrefix[] = "/androidpublisher/v3/applications/";

}  // namespace

FakeGoogleStore::FakeGoogleStore(FakeHttpServer* server) : server_(server) {
  server_->RoutePrefix("GET", kGooglePurchasePrefix,
                       [this](const FakeRequest& r) { return OnPurchase(r); });
  server_->Route("POST", kOAuthTokenPath, [this](const FakeRequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Delayed(r.Form()["client_id"], AnswerOAuthToken(r));
  });
  server_->Route("POST", kJwtTokenPath, [this](const FakeRequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    FakeResponse response = AnswerJwtToken(r);
    return Delayed(last_claims_.GetString("iss"), response);
  });
}

void FakeGoogleStore::AddOAuthClient(const std::string& client_id,
                                     const std::string& client_secret,
                                     const std::string& refresh_token, TokenScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  Account& account = accounts_[client_id];
  account.secret = client_secret;
  account.refresh_token = refresh_token;
  account.script = std::move(script);
}

void FakeGoogleStore::AddServiceAccount(const std::string& client_email,
                                        const std::string& public_pem, TokenScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  Account& account = accounts_[client_email];
  account.public_pem = public_pem;
  account.script = std::move(script);
}

std::string FakeGoogleStore::LastRefusal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_refusal_;
}

tvx::Json FakeGoogleStore::LastJwtClaims() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_claims_;
}

FakeRequest FakeGoogleStore::LastPurchaseRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return purchase_log_.empty() ? FakeRequest() : purchase_log_.back();
}

// REQUIRES: mutex_ held.
FakeResponse FakeGoogleStore::Refuse(int status, const std::string& error,
                                     const std::string& description) {
  last_refusal_ = error + ": " + description;
  return FakeResponse::Json(status,
                            JsonObject({{"error", error}, {"error_description", description}}));
}

// REQUIRES: mutex_ held.
FakeResponse FakeGoogleStore::Issue(Account* account, const std::string& name) {
  return FakeResponse::Json(200, JsonObject({{"access_token", IssueToken("ya29.", name)},
                                             {"expires_in", account->script.expires_in},
                                             {"scope", kAndroidPublisherScope},
                                             {"token_type", "Bearer"}}));
}

// REQUIRES: mutex_ held.
FakeResponse FakeGoogleStore::AnswerOAuthToken(const FakeRequest& request) {
  if (!IsFormRequest(request)) return Refuse(400, "invalid_request", "not a form body");
  auto form = request.Form();
  if (auto scripted = CountTokenRequest(form["client_id"])) return *scripted;
  if (form["grant_type"] != "refresh_token") {
    return Refuse(400, "unsupported_grant_type", "Invalid grant_type: " + form["grant_type"]);
  }
  auto it = accounts_.find(form["client_id"]);
  if (it == accounts_.end() || !it->second.public_pem.empty() ||
      it->second.secret != form["client_secret"]) {
    return Refuse(401, "invalid_client", "Unauthorized");
  }
  if (it->second.refresh_token != form["refresh_token"]) {
    return Refuse(400, "invalid_grant", "Bad Request");
  }
  return Issue(&it->second, it->first);
}

// REQUIRES: mutex_ held.
FakeResponse FakeGoogleStore::AnswerJwtToken(const FakeRequest& request) {
  last_claims_ = tvx::Json();
  if (!IsFormRequest(request)) return Refuse(400, "invalid_request", "not a form body");
  auto form = request.Form();
  const std::string assertion = form["assertion"];
  const size_t first_dot = assertion.find('.');
  const size_t second_dot =
      first_dot == std::string::npos ? std::string::npos : assertion.find('.', first_dot + 1);
  std::string header_text, claims_text, signature;
  tvx::Json header, claims;
  if (second_dot == std::string::npos ||
      !jwt::Base64UrlDecode(assertion.substr(0, first_dot), &header_text) ||
      !jwt::Base64UrlDecode(assertion.substr(first_dot + 1, second_dot - first_dot - 1),
                            &claims_text) ||
      !jwt::Base64UrlDecode(assertion.substr(second_dot + 1), &signature) ||
      !header.FromString(header_text) || !claims.FromString(claims_text) || !claims.IsObject()) {
    return Refuse(400, "invalid_grant", "Invalid JWT: not a compact JWS");
  }
  last_claims_ = claims;
  if (auto scripted = CountTokenRequest(claims.GetString("iss"))) return *scripted;
  if (form["grant_type"] != "urn:ietf:params:oauth:grant-type:jwt-bearer") {
    return Refuse(400, "unsupported_grant_type", "Invalid grant_type: " + form["grant_type"]);
  }
  if (header.GetString("alg") != "RS256" || header.GetString("typ") != "JWT") {
    return Refuse(400, "invalid_grant", "Invalid JWT header: " + header_text);
  }
  auto it = accounts_.find(claims.GetString("iss"));
  if (it == accounts_.end() || it->second.public_pem.empty()) {
    return Refuse(400, "invalid_grant", "Invalid grant: account not found");
  }
  if (!VerifyRs256(it->second.public_pem, assertion.substr(0, second_dot), signature)) {
    return Refuse(400, "invalid_grant", "Invalid JWT Signature.");
  }
  if (claims.GetString("aud") != jwt_token_url()) {
    return Refuse(400, "invalid_grant", "Invalid JWT: aud " + claims.GetString("aud"));
  }
  if (claims.GetString("scope") != kAndroidPublisherScope) {
    return Refuse(400, "invalid_scope", "Invalid scope: " + claims.GetString("scope"));
  }
  const int64_t now = WallClock::ToSeconds(WallClock::Now());
  const int64_t iat = claims.GetInteger("iat");
  const int64_t exp = claims.GetInteger("exp");
  if (!claims["iat"].IsInteger() || !claims["exp"].IsInteger() || iat > now + 300 ||
      exp < now || exp <= iat || exp - iat > 3600) {
    return Refuse(400, "invalid_grant",
                  "Invalid JWT: Token must be a short-lived token (60 minutes) and in a "
                  "reasonable timeframe. Check your iat and exp values in the JWT claim.");
  }
  return Issue(&it->second, it->first);
}

tvx::Json FakeGoogleStore::MakePurchase(int purchase_state, const std::string& order_id,
                                        const std::string& purchase_time_millis) {
  return JsonObject({{"kind", "androidpublisher#productPurchase"},
                     {"purchaseTimeMillis", purchase_time_millis},
                     {"purchaseState", purchase_state},
                     {"consumptionState", 0},
                     {"developerPayload", ""},
                     {"orderId", order_id},
                     {"purchaseType", 0},
                     {"acknowledgementState", 1}});
}

FakeResponse FakeGoogleStore::OnPurchase(const FakeRequest& request) {
  // <package>/purchases/products/<product>/tokens/<token>
  const std::vector<std::string> segments = PathSegments(request.path, kGooglePurchasePrefix);
  if (segments.size() != 6 || segments[1] != "purchases" || segments[2] != "products" ||
      segments[4] != "tokens") {
    return PurchaseError(404, "no such resource");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    purchase_log_.push_back(request);
  }
  return AnswerPurchase(segments[5], QueryValue(request.target, "access_token"),
                        "the purchase token was not found");
}

// ---------------------------------------------------------------------------
// FakeOneStore

FakeOneStore::FakeOneStore(FakeHttpServer* server, std::string prefix)
    : server_(server), prefix_(std::move(prefix)) {
  server_->RoutePrefix("GET", prefix_ + "/v2/purchase/details-by-productid/",
                       [this](const FakeRequest& r) { return OnPurchase(r); });
  server_->Route("POST", prefix_ + "/v2/oauth/token", [this](const FakeRequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Delayed(r.Form()["client_id"], AnswerToken(r));
  });
}

void FakeOneStore::AddClient(const std::string& client_id, const std::string& client_secret,
                             TokenScript script) {
  std::lock_guard<std::mutex> lock(mutex_);
  Account& client = accounts_[client_id];
  client.secret = client_secret;
  client.script = std::move(script);
}

tvx::Json FakeOneStore::MakePurchase(int purchase_state, int64_t purchase_time) {
  return JsonObject({{"consumptionState", 0},
                     {"developerPayload", ""},
                     {"purchaseState", purchase_state},
                     {"purchaseTime", purchase_time}});
}

FakeResponse FakeOneStore::OnPurchase(const FakeRequest& request) {
  // <purchase id>/<package>/<product>
  const std::vector<std::string> segments =
      PathSegments(request.path, prefix_ + "/v2/purchase/details-by-productid/");
  if (segments.size() != 3) return PurchaseError(404, "no such resource");
  const std::string bearer = request.Header("authorization");
  const std::string token = bearer.rfind("Bearer ", 0) == 0 ? bearer.substr(7) : "";
  return AnswerPurchase(segments[0], token, "the purchase was not found");
}

// REQUIRES: mutex_ held.
FakeResponse FakeOneStore::AnswerToken(const FakeRequest& request) {
  auto refuse = [](int status, const char* code, const char* message) {
    return FakeResponse::Json(
        status, JsonObject({{"error", JsonObject({{"code", code}, {"message", message}})}}));
  };
  if (!IsFormRequest(request)) return refuse(400, "InvalidRequest", "not a form body");
  auto form = request.Form();
  if (auto scripted = CountTokenRequest(form["client_id"])) return *scripted;
  if (form["grant_type"] != "client_credentials") {
    return refuse(400, "UnsupportedGrantType", "grant_type must be client_credentials");
  }
  auto it = accounts_.find(form["client_id"]);
  if (it == accounts_.end() || it->second.secret != form["client_secret"]) {
    return refuse(401, "InvalidClient", "client authentication failed");
  }
  return FakeResponse::Json(200, JsonObject({{"client_id", it->first},
                                             {"access_token", IssueToken("os.", it->first)},
                                             {"token_type", "bearer"},
                                             {"expires_in", it->second.script.expires_in}}));
}

TestIoContext::TestIoContext(int threads) : io_(std::make_shared<tvx::IoContext>(threads)) {
  work_ = std::make_shared<boost::asio::executor_work_guard<tvx::IoContext::executor_type>>(
      io_->get_executor());
  for (int i = 0; i < threads; ++i) threads_.emplace_back([io = io_] { io->run(); });
}

TestIoContext::~TestIoContext() {
  work_.reset();
  io_->stop();
  for (auto& thread : threads_) thread.join();
}

tvx::Json MakeStoreEndpoints(const FakeGoogleStore* google, const FakeOneStore* one_store,
                             const FakeOneStore* one_store_test) {
  tvx::Json endpoints = tvx::Json::Object();
  if (google) {
    endpoints.SetString("google_oauth_token_url", google->oauth_token_url());
    endpoints.SetString("google_jwt_token_url", google->jwt_token_url());
    endpoints.SetString("google_api_base", google->api_base());
  }
  if (one_store) endpoints.SetString("one_store_api_base", one_store->api_base());
  if (one_store_test) endpoints.SetString("one_store_test_api_base", one_store_test->api_base());
  return endpoints;
}

}  // namespace tvx::testing
