#include "tests/support/fake_store_server.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>

#include <boost/algorithm/string.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "framework/base64.h"
#include "framework/clock.h"
#include "framework/jwt.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {

namespace asio = boost::asio;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr char kAppleIssuerId[] = "57246542-96fe-1a63-e053-0824d011072a";
constexpr char kAppleKeyId[] = "2X9R4HXF34";
constexpr char kTransactionsPath[] = "/inApps/v1/transactions/";

constexpr char kOAuthTokenPath[] = "/o/oauth2/token";
constexpr char kJwtTokenPath[] = "/oauth2/v4/token";
constexpr char kGooglePackages[] = "/androidpublisher/v3/applications/";

constexpr char kPlayStationTokenPath[] = "/2.0/oauth/token";
constexpr char kBaseUrlPath[] = "/asm/v1/apps/me/baseUrls/";
constexpr char kEntitlementService[] = "/entitlement-service";
constexpr char kEntitlementPath[] = "/entitlement-service/v1/users/me/entitlements/";

std::string FormDecode(std::string text) {
  std::ranges::replace(text, '+', ' ');
  int length = 0;
  char* decoded = curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length);
  std::string out(decoded, static_cast<size_t>(length));
  curl_free(decoded);
  return out;
}

std::map<std::string, std::string> DecodeFields(const std::string& text) {
  std::vector<std::string> pairs;
  std::map<std::string, std::string> fields;
  for (const std::string& pair : boost::split(pairs, text, boost::is_any_of("&"))) {
    const size_t eq = pair.find('=');
    fields[FormDecode(pair.substr(0, eq))] =
        eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1));
  }
  return fields;
}

struct DecodedJwt {
  std::string header_text, claims_text, signing_input, signature;
  tvx::Json header, claims;
};

// False when `token` is not a compact JWS.
bool DecodeJwt(const std::string& token, DecodedJwt* jwt) {
  const size_t first = token.find('.');
  const size_t last = token.rfind('.');
  if (first == std::string::npos || first == last) return false;
  jwt->signing_input = token.substr(0, last);
  return jwt::Base64UrlDecode(token.substr(0, first), &jwt->header_text) &&
         jwt::Base64UrlDecode(token.substr(first + 1, last - first - 1), &jwt->claims_text) &&
         jwt::Base64UrlDecode(token.substr(last + 1), &jwt->signature) &&
         jwt->header.FromString(jwt->header_text) && jwt->claims.FromString(jwt->claims_text) &&
         jwt->claims.IsObject();
}

std::map<std::string, std::string> QueryOf(const FakeRequest& request) {
  const size_t mark = request.target.find('?');
  return DecodeFields(mark == std::string::npos ? "" : request.target.substr(mark + 1));
}

// Whether `json` holds every member of `members`, equal.
bool HasMembers(const tvx::Json& json, const tvx::Json& members) {
  return std::ranges::all_of(members.GetAttributeNames(),
                             [&](const std::string& name) { return json[name] == members[name]; });
}

// Whether `jwt`'s header and claims hold `header`'s and `claims`'s members, and its "iat" and
// "exp" are at most an hour apart around now.
bool IsJwtOf(const DecodedJwt& jwt, const tvx::Json& header, const tvx::Json& claims) {
  const int64_t now = WallClock::ToSeconds(WallClock::Now());
  const int64_t iat = jwt.claims.GetInteger("iat");
  const int64_t exp = jwt.claims.GetInteger("exp");
  return HasMembers(jwt.header, header) && HasMembers(jwt.claims, claims) &&
         jwt.claims["iat"].IsInteger() && jwt.claims["exp"].IsInteger() && iat <= now + 60 &&
         now < exp && iat < exp && exp - iat <= 3600;
}

// Whether `request` is a form asking for a token by `grant_type`.
bool IsGrant(const FakeRequest& request, const std::string& grant_type) {
  return request.Header("content-type").starts_with("application/x-www-form-urlencoded") &&
         DecodeFields(request.body)["grant_type"] == grant_type;
}

// The path's segments after `prefix`, each decoded.
std::vector<std::string> PathSegments(const std::string& path, const std::string& prefix) {
  std::vector<std::string> segments;
  boost::split(segments, path.substr(prefix.size()), boost::is_any_of("/"));
  for (std::string& segment : segments) segment = FormDecode(segment);
  return segments;
}

// An error as the stores' APIs report one.
FakeResponse ErrorAnswer(int status, const std::string& message) {
  return FakeResponse::Json(
      status, JsonObject({{"error", JsonObject({{"code", status}, {"message", message}})}}));
}

FakeResponse TStoreRefusal(const std::string& detail, const std::string& message) {
  return FakeResponse::Json(200,
                            JsonObject({{"status", 9}, {"detail", detail}, {"message", message}}));
}

}  // namespace

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

tvx::Json With(tvx::Json json, const char* member, const tvx::Json& value) {
  if (value.IsNull()) json.RemoveAttribute(member);
  if (!value.IsNull()) json.SetAttribute(member, value);
  return json;
}

struct FakeHttpServer::Impl {
  // One per connection, on the server's thread; the last handler holding it
  // closes the connection.
  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(FakeHttpServer* owner, tcp::socket socket)
        : owner(owner), socket(std::move(socket)), timer(this->socket.get_executor()) {}

    void Read() {
      in = {};
      bhttp::async_read(socket, buffer, in, [self = shared_from_this()](error_code error, size_t) {
        if (!error) self->Answer();
      });
    }

    void Answer() {
      FakeRequest request{.method = std::string(in.method_string()),
                          .target = std::string(in.target()),
                          .path = std::string(in.target().substr(0, in.target().find('?'))),
                          .body = in.body(),
                          .received_ms = NowMillis()};
      for (const auto& field : in) {
        request.headers[boost::algorithm::to_lower_copy(std::string(field.name_string()))] =
            field.value();
      }
      const FakeResponse answer = owner->Dispatch(request);
      if (answer.close) return;
      out = {static_cast<bhttp::status>(answer.status), 11, answer.body};
      out.set(bhttp::field::content_type, "application/json");
      for (const auto& [name, value] : answer.headers) out.set(name, value);
      out.keep_alive(in.keep_alive());
      out.prepare_payload();
      timer.expires_after(answer.delay);
      timer.async_wait([self = shared_from_this()](error_code) {
        bhttp::async_write(self->socket, self->out, [self](error_code error, size_t) {
          if (!error && self->out.keep_alive()) self->Read();
        });
      });
    }

    FakeHttpServer* const owner;
    tcp::socket socket;
    asio::steady_timer timer;
    boost::beast::flat_buffer buffer;
    bhttp::request<bhttp::string_body> in;
    bhttp::response<bhttp::string_body> out;
  };

  void Accept(FakeHttpServer* owner) {
    acceptor.async_accept([this, owner](error_code error, tcp::socket socket) {
      if (error) return;
      owner->connections_.fetch_add(1);
      std::make_shared<Connection>(owner, std::move(socket))->Read();
      Accept(owner);
    });
  }

  asio::io_context io;
  tcp::acceptor acceptor{io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
  const int port = acceptor.local_endpoint().port();
  std::jthread thread;  // last, to join before the context goes
};

FakeHttpServer::FakeHttpServer() : impl_(std::make_unique<Impl>()) {
  impl_->Accept(this);
  impl_->thread = std::jthread([this] { impl_->io.run(); });
}

FakeHttpServer::~FakeHttpServer() { impl_->io.stop(); }

std::string FakeHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

std::vector<FakeRequest> FakeHttpServer::Requests(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<FakeRequest> requests;
  std::ranges::copy_if(requests_, std::back_inserter(requests),
                       [&](const FakeRequest& request) { return request.path.starts_with(path); });
  return requests;
}

FakeResponse FakeHttpServer::Dispatch(const FakeRequest& request) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    size_t best = 0;
    for (const auto& [key, candidate] : routes_) {
      const auto& [method, path] = key;
      if (method == request.method && path.size() > best &&
          (path == request.path || (path.ends_with('/') && request.path.starts_with(path)))) {
        best = path.size();
        handler = candidate;
      }
    }
  }
  if (handler) return handler(request);
  return FakeResponse::Json(404, JsonObject({{"error", "not found: " + request.path}}));
}

PemKeyPair PemKeyPairOf(EVP_PKEY* key) {
  return {PemText([key](BIO* bio) {
            return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
          }),
          PemText([key](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key); })};
}

RsaKeyPair GenerateRsaKeyPair(unsigned int bits) {
  return PemKeyPairOf(std::shared_ptr<EVP_PKEY>(EVP_RSA_gen(bits), EVP_PKEY_free).get());
}

bool VerifyRs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(public_pem.c_str(), -1), BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
  std::shared_ptr<EVP_MD_CTX> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const bool verified =
      key && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
  ERR_clear_error();
  return verified;
}

std::optional<FakeResponse> ScriptedAnswers::Next(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = scripts_.find(key);
  if (it == scripts_.end() || it->second.empty()) return std::nullopt;
  FakeResponse answer = it->second.front();
  if (it->second.size() > 1) it->second.pop_front();
  return answer;
}

void FakeTwoEndpointStore::RouteJsonPosts(std::vector<std::string> members,
                                          const FakeResponse& malformed,
                                          const FakeResponse& unscripted) {
  for (int endpoint : {0, 1}) {
    server_->Route("POST", endpoints_[endpoint].first, [=, this](const FakeRequest& request) {
      tvx::Json body;
      bool well_formed = request.Header("content-type") == "application/json" &&
                         body.FromString(request.body) && body.IsObject() &&
                         body.Size() == members.size();
      for (const auto& name : members) {
        well_formed = well_formed && body.HasAttribute(name, tvx::Json::kString);
      }
      if (!well_formed) return malformed;
      return scripts_[endpoint].Next(body.GetString(members[0])).value_or(unscripted);
    });
  }
}

FakeAppleStore::FakeAppleStore(FakeHttpServer* server)
    : FakeTwoEndpointStore(server, {"/apple/buy/verifyReceipt", "apple_production_url"},
                           {"/apple/sandbox/verifyReceipt", "apple_sandbox_url"}) {
  constexpr int64_t kMalformedRequest = 21002;
  RouteJsonPosts({"receipt-data"}, Status(kMalformedRequest), Status(kMalformedRequest));
}

tvx::Json FakeAppleStore::Purchase(const std::string& product_id, const std::string& quantity,
                                   const std::string& transaction_id) {
  const char* purchase_date = "2019-03-05 08:24:36 Etc/GMT";
  return JsonObject({{"quantity", quantity},
                     {"product_id", product_id},
                     {"transaction_id", transaction_id},
                     {"original_transaction_id", transaction_id},
                     {"purchase_date", purchase_date},
                     {"original_purchase_date", purchase_date}});
}

FakeResponse FakeAppleStore::Verified(const std::vector<tvx::Json>& in_app) {
  const tvx::Json receipt =
      JsonObject({{"bundle_id", "com.example.game"}, {"in_app", JsonArray(in_app)}});
  return FakeResponse::Json(
      200, JsonObject({{"status", 0}, {"environment", "Production"}, {"receipt", receipt}}));
}

FakeTStore::FakeTStore(FakeHttpServer* server)
    : FakeTwoEndpointStore(server, {"/tstore/iap/digitalsignconfirm.iap", "tstore_production_url"},
                           {"/tstore/iapdev/digitalsignconfirm.iap", "tstore_development_url"}) {
  RouteJsonPosts({"txid", "appid", "signdata"}, TStoreRefusal("1000", "missing required fields"),
                 TStoreRefusal("9100", "invalid receipt"));
}

tvx::Json FakeTStore::Product(const std::string& appid, const std::string& product_id) {
  return JsonObject({{"log_time", "20240101120000"},
                     {"appid", appid},
                     {"product_id", product_id},
                     {"charge_amount", 1100},
                     {"tid", "tid-" + product_id},
                     {"bp_info", ""}});
}

FakeResponse FakeTStore::Confirmed(const std::vector<tvx::Json>& products) {
  return FakeResponse::Json(200, JsonObject({{"status", 0},
                                             {"detail", "0000"},
                                             {"message", "success"},
                                             {"count", static_cast<int64_t>(products.size())},
                                             {"product", JsonArray(products)}}));
}

FakeAppleServerApi::FakeAppleServerApi(FakeHttpServer* server)
    : FakeTwoEndpointStore(server, {"/production", "apple_server_api_production_base"},
                           {"/sandbox", "apple_server_api_sandbox_base"}),
      key_(GenerateEcKeyPair()) {
  for (Environment environment : {kProduction, kSandbox}) {
    server_->Route("GET", endpoints_[environment].first + kTransactionsPath,
                   std::bind_front(&FakeAppleServerApi::Answer, this, environment));
  }
}

tvx::Json FakeAppleServerApi::Argument(const std::string& environment) const {
  return JsonObject({{"issuer_id", kAppleIssuerId},
                     {"key_id", kAppleKeyId},
                     {"bundle_id", kBundleId},
                     {"private_key", key_.private_pem},
                     {"root_certificates", JsonArray({Json(AppleTestPki::Get().root_pem())})},
                     {"environment", environment}});
}

FakeResponse FakeAppleServerApi::RateLimited(int64_t retry_after_ms) {
  FakeResponse response = FakeResponse::Json(
      429, JsonObject({{"errorCode", 4290000}, {"errorMessage", "Rate limit exceeded."}}));
  response.headers.emplace_back("Retry-After", std::to_string(retry_after_ms));
  return response;
}

bool FakeAppleServerApi::AcceptsToken(const FakeRequest& request) const {
  DecodedJwt jwt;
  const tvx::Json header = JsonObject({{"alg", "ES256"}, {"kid", kAppleKeyId}, {"typ", "JWT"}});
  const tvx::Json claims =
      JsonObject({{"iss", kAppleIssuerId}, {"aud", "appstoreconnect-v1"}, {"bid", kBundleId}});
  return DecodeJwt(request.Bearer(), &jwt) &&
         VerifyEs256(key_.public_pem, jwt.signing_input, jwt.signature) &&
         IsJwtOf(jwt, header, claims);
}

FakeResponse FakeAppleServerApi::Answer(Environment environment, const FakeRequest& request) {
  const std::string transaction_id =
      PathSegments(request.path, endpoints_[environment].first + kTransactionsPath).front();
  if (!AcceptsToken(request)) return Unauthorized();
  const tvx::Json not_found =
      JsonObject({{"errorCode", 4040010}, {"errorMessage", "Transaction id not found."}});
  return scripts_[environment].Next(transaction_id).value_or(FakeResponse::Json(404, not_found));
}

void FakeTokenStore::RouteToken(const std::string& path, TokenAnswerer answer) {
  server_->Route("POST", path, [this, answer](const FakeRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string name;
    FakeResponse response = answer(request, &name);
    auto it = accounts_.find(name);
    if (it == accounts_.end()) return response;
    ++token_requests_[name];
    response = it->second.script.answer.value_or(response);
    if (response.delay.count() == 0) response.delay = it->second.script.delay;
    return response;
  });
}

FakeResponse FakeTokenStore::IssueToken(const std::string& prefix, const std::string& name) {
  const std::string token = prefix + name + "." + std::to_string(++accounts_[name].tokens);
  issued_.insert(token);
  return FakeResponse::Json(200, JsonObject({{"access_token", token}, {"expires_in", 3600}}));
}

FakeResponse FakeTokenStore::AnswerPurchase(const std::string& purchase,
                                            const std::string& access_token) {
  if (!Issued(access_token)) return ErrorAnswer(401, "invalid credentials");
  return purchases_.Next(purchase).value_or(ErrorAnswer(404, "no such purchase"));
}

FakeGoogleStore::FakeGoogleStore(FakeHttpServer* server) : FakeTokenStore(server) {
  server_->Route("GET", kGooglePackages, [this](const FakeRequest& request) {
    // <package>/purchases/products/<product>/tokens/<token>, or
    // <package>/purchases/voidedpurchases
    const auto segments = PathSegments(request.path, kGooglePackages);
    if (segments.size() == 3 && segments[1] == "purchases" && segments[2] == "voidedpurchases") {
      return ListVoided(segments[0], request);
    }
    if (segments.size() != 6 || segments[1] != "purchases" || segments[2] != "products" ||
        segments[4] != "tokens") {
      return ErrorAnswer(404, "no such resource");
    }
    return AnswerPurchase(segments[5], QueryOf(request)["access_token"]);
  });
  RouteToken(kOAuthTokenPath, std::bind_front(&FakeGoogleStore::AnswerOAuthToken, this));
  RouteToken(kJwtTokenPath, std::bind_front(&FakeGoogleStore::AnswerJwtToken, this));
}

void FakeGoogleStore::AddEndpoints(tvx::Json* endpoints) const {
  endpoints->SetString("google_oauth_token_url", server_->Url(kOAuthTokenPath));
  endpoints->SetString("google_jwt_token_url", server_->Url(kJwtTokenPath));
  endpoints->SetString("google_api_base", server_->Url());
}

// The next three hold mutex_.
FakeResponse FakeGoogleStore::Refuse(int status, const std::string& error,
                                     const std::string& description) {
  last_refusal_ = error + ": " + description;
  return FakeResponse::Json(status,
                            JsonObject({{"error", error}, {"error_description", description}}));
}

FakeResponse FakeGoogleStore::AnswerOAuthToken(const FakeRequest& request, std::string* name) {
  auto form = DecodeFields(request.body);
  *name = form["client_id"];
  if (!IsGrant(request, "refresh_token")) {
    return Refuse(400, "unsupported_grant_type", "not a refresh_token grant form");
  }
  auto it = accounts_.find(*name);
  if (it == accounts_.end() || !it->second.public_pem.empty() ||
      it->second.secret != form["client_secret"] || it->second.grant != form["refresh_token"]) {
    return Refuse(401, "invalid_client", "Unauthorized");
  }
  return IssueToken("ya29.", *name);
}

FakeResponse FakeGoogleStore::AnswerJwtToken(const FakeRequest& request, std::string* name) {
  auto form = DecodeFields(request.body);
  DecodedJwt jwt;
  const bool decoded = DecodeJwt(form["assertion"], &jwt);
  last_claims_ = jwt.claims;
  *name = jwt.claims.GetString("iss");
  if (!IsGrant(request, "urn:ietf:params:oauth:grant-type:jwt-bearer")) {
    return Refuse(400, "unsupported_grant_type", "not a jwt-bearer grant form");
  }
  auto it = accounts_.find(*name);
  if (!decoded || it == accounts_.end() || it->second.public_pem.empty() ||
      !VerifyRs256(it->second.public_pem, jwt.signing_input, jwt.signature)) {
    return Refuse(400, "invalid_grant", "Invalid JWT Signature.");
  }
  if (!IsJwtOf(jwt, JsonObject({{"alg", "RS256"}, {"typ", "JWT"}}),
               JsonObject({{"aud", server_->Url(kJwtTokenPath)},
                           {"scope", "https://www.googleapis.com/auth/androidpublisher"}}))) {
    return Refuse(400, "invalid_grant", "Invalid JWT: " + jwt.header_text + jwt.claims_text);
  }
  return IssueToken("ya29.", *name);
}

tvx::Json FakeGoogleStore::MakePurchase(int purchase_state) {
  return JsonObject({{"kind", "androidpublisher#productPurchase"},
                     {"purchaseTimeMillis", "1700000000123"},
                     {"purchaseState", purchase_state},
                     {"consumptionState", 0},
                     {"orderId", "GPA.1"},
                     {"purchaseType", 0},
                     {"acknowledgementState", 1}});
}

FakeResponse FakeGoogleStore::ListVoided(const std::string& package_name,
                                         const FakeRequest& request) {
  auto query = QueryOf(request);
  const ListRequest seen{package_name, std::atoll(query["startTime"].c_str()), query["token"]};
  // The token is the index of the page's first entry; a page holds two.
  const size_t first = std::atoll(seen.page_token.c_str());
  const size_t size = 2;
  std::lock_guard<std::mutex> lock(mutex_);
  list_requests_.push_back(seen);
  if (!issued_.contains(request.Bearer())) return ErrorAnswer(401, "invalid credentials");
  const auto& voided = voided_[package_name];
  const std::vector<std::pair<int64_t, std::string>> listed(
      voided.lower_bound(seen.start_time_ms), voided.end());
  tvx::Json list = tvx::Json::Array();
  for (size_t index = first; index < std::min(first + size, listed.size()); ++index) {
    const auto& [voided_ms, token] = listed[index];
    list.PushBack(JsonObject({{"kind", "androidpublisher#voidedPurchase"},
                              {"purchaseToken", token},
                              {"voidedTimeMillis", std::to_string(voided_ms)},
                              {"orderId", "GPA." + token},
                              {"voidedReason", 7}}));
  }
  const tvx::Json next = JsonObject({{"nextPageToken", std::to_string(first + size)}});
  return FakeResponse::Json(200, With(JsonObject({{"voidedPurchases", list}}), "tokenPagination",
                                      first + size < listed.size() ? next : tvx::Json()));
}

FakeOneStore::FakeOneStore(FakeHttpServer* server, std::string prefix)
    : FakeTokenStore(server), prefix_(std::move(prefix)) {
  const std::string purchases = prefix_ + "/v2/purchase/details-by-productid/";
  server_->Route("GET", purchases, [this, purchases](const FakeRequest& request) {
    // <purchase id>/<package>/<product>
    const auto segments = PathSegments(request.path, purchases);
    if (segments.size() != 3) return ErrorAnswer(404, "no such resource");
    return AnswerPurchase(segments[0], request.Bearer());
  });
  RouteToken(prefix_ + "/v2/oauth/token", std::bind_front(&FakeOneStore::AnswerToken, this));
}

tvx::Json FakeOneStore::MakePurchase(int purchase_state, int64_t purchase_time) {
  return JsonObject({{"consumptionState", 0},
                     {"purchaseState", purchase_state},
                     {"purchaseTime", purchase_time}});
}

// Holds mutex_.
FakeResponse FakeOneStore::AnswerToken(const FakeRequest& request, std::string* name) {
  auto form = DecodeFields(request.body);
  *name = form["client_id"];
  if (!IsGrant(request, "client_credentials")) {
    return ErrorAnswer(400, "UnsupportedGrantType: not a client_credentials form");
  }
  auto it = accounts_.find(*name);
  if (it == accounts_.end() || it->second.secret != form["client_secret"]) {
    return ErrorAnswer(401, "InvalidClient: client authentication failed");
  }
  return IssueToken("os.", *name);
}

FakePlayStation::FakePlayStation(FakeHttpServer* server, std::string environment)
    : FakeTokenStore(server), prefix_("/psn/" + environment) {
  RouteToken(prefix_ + kPlayStationTokenPath, std::bind_front(&FakePlayStation::AnswerToken, this));
  server_->Route("GET", prefix_ + kBaseUrlPath + "entitlement", [this](const FakeRequest& request) {
    if (!Issued(request.Bearer())) return ErrorAnswer(401, "invalid_token");
    return FakeResponse::Json(200,
                              JsonObject({{"url", server_->Url(prefix_ + kEntitlementService)}}));
  });
  server_->Route("GET", prefix_ + kEntitlementPath, [this](const FakeRequest& request) {
    // <entitlement id>?service_label=<label>
    const std::string id = PathSegments(request.path, prefix_ + kEntitlementPath).front();
    return AnswerPurchase(id + request.target.substr(request.path.size()), request.Bearer());
  });
}

void FakePlayStation::AddEndpoints(tvx::Json* endpoints) const {
  const std::string environment = prefix_.substr(5);
  endpoints->SetString("p4_" + environment + "_token_url",
                       server_->Url(prefix_ + kPlayStationTokenPath));
  endpoints->SetString("p4_" + environment + "_base_url_service",
                       server_->Url(prefix_ + kBaseUrlPath));
}

void FakePlayStation::AddClient(const std::string& client_id, const std::string& secret,
                                const std::string& auth_code) {
  AddAccount(client_id,
             {.secret = "Basic " + Base64Encode(client_id + ":" + secret), .grant = auth_code});
}

tvx::Json FakePlayStation::Entitlement(const std::string& id, bool is_consumable, int64_t use_count,
                                       int64_t use_limit) {
  return JsonObject({{"id", id},
                     {"is_consumable", is_consumable},
                     {"use_count", use_count},
                     {"use_limit", use_limit}});
}

// Holds mutex_; the client is known by its basic authorization.
FakeResponse FakePlayStation::AnswerToken(const FakeRequest& request, std::string* name) {
  for (const auto& [client_id, account] : accounts_) {
    if (account.secret == request.Header("authorization")) *name = client_id;
  }
  if (name->empty()) return ErrorAnswer(401, "invalid_client");
  auto form = DecodeFields(request.body);
  if (!IsGrant(request, "authorization_code") || form["redirect_uri"] != "orbis://games" ||
      accounts_[*name].grant != form["code"]) {
    return ErrorAnswer(400, "invalid_grant");
  }
  return IssueToken("psn.", *name);
}

tvx::Json MakeStoreEndpoints(const FakeGoogleStore* google, const FakeOneStore* one_store,
                             const FakeOneStore* one_store_test) {
  tvx::Json endpoints = tvx::Json::Object();
  if (google) google->AddEndpoints(&endpoints);
  if (one_store) endpoints.SetString("one_store_api_base", one_store->api_base());
  if (one_store_test) endpoints.SetString("one_store_test_api_base", one_store_test->api_base());
  return endpoints;
}

}  // namespace tvx::testing
