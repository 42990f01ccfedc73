// The HTTP JSON endpoints of a real biller-server.
#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/uuid.h"
#include "tests/support/biller_process.h"
#include "tests/support/http_test_client.h"
#include "tests/support/tcp_proxy.h"

namespace tvx::testing {
namespace {

const std::regex kAuthenticated(
    R"re(\{"result": 0, "description": "", "sessionid": "([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-)re"
    R"re([0-9a-f]{4}-[0-9a-f]{12})"\})re");
const std::string kWrongParameter =
    R"({"result": 2000, "description": "Talvex-Biller: wrong parameter"})";
const std::string kAuthenticationRequired = R"({"result": 1005})";

std::string GooglePlayBody(const std::string& session_id) {
  return R"({"sessionid": ")" + session_id +
         R"(", "player_id": "p1", "player_service_provider": "guest", )"
         R"("package_name": "com.example.game", "product_id": "gem_100", "purchase_token": "t1"})";
}

// The four validation paths, each with a body that is accepted.
std::vector<std::pair<std::string, std::string>> ValidationRequests(const std::string& session) {
  const std::string common = R"({"sessionid": ")" + session +
                             R"(", "player_id": "p1", "player_service_provider": "guest", )";
  return {
      {"/v1/validation/googleplay", GooglePlayBody(session)},
      {"/v1/validation/appleappstore",
       common + R"("receipt_data": "r", "product_id": "gem", "quantity": 1})"},
      {"/v1/validation/tstore",
       common + R"("txid": "x", "appid": "a", "signdata": "s", "test": "yes", "products": []})"},
      {"/v1/validation/onestore",
       common + R"("purchase_id": "i", "package_name": "k", "prodouct_id": "gem"})"},
  };
}

class HttpEndpointsTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> flags) {
    biller_ = std::make_unique<BillerProcess>(BillerOptions{.flags = std::move(flags)});
    ASSERT_TRUE(biller_->running()) << biller_->Log();
    // The harness waits for the TCP port; the HTTP server starts just after.
    ASSERT_TRUE(LoopbackConnection().Connect(biller_->http_port(), 10s)) << biller_->Log();
  }

  HttpResult Post(const std::string& path, const std::string& body) {
    HttpResult result = HttpPost(biller_->http_port(), path, body);
    EXPECT_EQ(result.status, 200) << path << " " << body << "\n" << biller_->Log();
    EXPECT_EQ(result.content_type, "application/json");
    return result;
  }

  // A new session's id, checked against the exact shape of the answer.
  std::string Authenticate() {
    const std::string body = Post("/v1/authentication", R"({"biller_client_id": "c1"})").body;
    std::smatch match;
    EXPECT_TRUE(std::regex_match(body, match, kAuthenticated)) << body;
    return match.size() == 2 ? match[1].str() : std::string();
  }

  std::unique_ptr<BillerProcess> biller_;
};

TEST_F(HttpEndpointsTest, BypassServesASessionOnOneKeptAliveConnection) {
  Start({"--bypass=true"});
  HttpTestConnection client;
  ASSERT_TRUE(client.Connect(biller_->http_port()));
  auto exchange = [&](const std::string& path, const std::string& body) {
    auto reply = client.Exchange(MakeHttpRequest("POST", path, body));
    EXPECT_TRUE(reply) << path;
    return reply ? std::to_string(reply->status) + " " + reply->body : std::string();
  };
  const std::string session = Authenticate();
  ASSERT_FALSE(session.empty());
  EXPECT_NE(Authenticate(), session) << "every authentication opens a new session";
  // The session id also travels in a header, for load balancers; a
  // validation may repeat it there, and one whose header and body disagree
  // is refused (also in bypass mode).
  auto signed_in = client.Exchange(
      MakeHttpRequest("POST", "/v1/authentication", R"({"biller_client_id": "c1"})"));
  ASSERT_TRUE(signed_in);
  const std::string header_session = signed_in->Header("x-biller-session");
  EXPECT_NE(signed_in->body.find("\"sessionid\": \"" + header_session + "\""), std::string::npos)
      << signed_in->body;
  ASSERT_EQ(header_session.size(), 36u);
  for (const auto& [header, answer] :
       std::vector<std::pair<std::string, std::string>>{
           {"X-Biller-Session: " + header_session + "\r\n", R"(200 {"result": 0})"},
           {"x-biller-session: " + header_session + "\r\n", R"(200 {"result": 0})"},
           {"X-Biller-Session: " + session + "\r\n", "200 " + kWrongParameter},
           {"X-Biller-Session: " + header_session + "\r\nX-Biller-Session: x\r\n",
            "200 " + kWrongParameter}}) {
    auto reply = client.Exchange(MakeHttpRequest("POST", "/v1/validation/googleplay",
                                                 GooglePlayBody(header_session), header));
    ASSERT_TRUE(reply) << header;
    EXPECT_EQ(std::to_string(reply->status) + " " + reply->body, answer) << header;
    EXPECT_EQ(reply->Header("x-biller-session"), "") << "only authentication answers carry it";
  }
  for (int round = 0; round < 3; ++round) {
    for (const auto& [path, body] : ValidationRequests(session)) {
      EXPECT_EQ(exchange(path, body), R"(200 {"result": 0})") << path;
    }
  }
  // A session id is a uuid in either case.
  std::string upper = session;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(exchange("/v1/validation/googleplay", GooglePlayBody(upper)), R"(200 {"result": 0})");
  EXPECT_EQ(exchange("/v1/validation/nothing", "{}").substr(0, 4), "404 ");
  // Bodies beyond a megabyte are refused before they are read.
  auto reply = client.Exchange(
      "POST /v1/authentication HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 413);
}

TEST_F(HttpEndpointsTest, SessionsTheBillerNeverIssuedAreRefused) {
  const std::vector<std::string> ids = {util::ToString(RandomGenerator::GenerateUuid()),
                                        util::ToString(util::kNilUuid), std::string("not-a-uuid"),
                                        std::string(""), std::string(5000, 'a')};
  Start({"--bypass=false"});
  for (const std::string& id : ids) {
    for (const auto& [path, body] : ValidationRequests(id)) {
      EXPECT_EQ(Post(path, body).body, kAuthenticationRequired) << path;
    }
  }
  EXPECT_TRUE(biller_->WaitForLog("BillingAgent::OnHttpOneStoreValidation: authentication "
                                  "required: unknown session[not-a-uuid]"));
  // A very long id is cut short in the log.
  EXPECT_EQ(biller_->Log().find(std::string(2000, 'a')), std::string::npos);

  // Bypass mode checks nothing, whatever the session.
  Start({"--bypass=true"});
  for (const std::string& id : ids) {
    for (const auto& [path, body] : ValidationRequests(id)) {
      EXPECT_EQ(Post(path, body).body, R"({"result": 0})") << path;
    }
  }
}

TEST_F(HttpEndpointsTest, AuthenticationWithoutKeysOpensAnAuthenticatedSession) {
  Start({});
  const std::string session = Authenticate();
  ASSERT_FALSE(session.empty());
  EXPECT_TRUE(biller_->WaitForLog("no external service provider authentication: "
                                  "biller client id(c1)"));
  // The session passes the authentication check; what the store says is
  // the flows' business. (Only stores that need the session's own
  // credentials, which it has none of, so that no store is called.)
  for (const auto& [path, body] : ValidationRequests(session)) {
    if (path.find("googleplay") == std::string::npos && path.find("onestore") == std::string::npos) {
      continue;
    }
    const std::string answer = Post(path, body).body;
    EXPECT_TRUE(std::regex_match(answer, std::regex(R"(\{"result": \d+\})"))) << answer;
    EXPECT_NE(answer, kAuthenticationRequired) << path;
  }
}

TEST_F(HttpEndpointsTest, AuthenticationRefusalsCarryTheReason) {
  Start({});
  // Which body gets which reason is the parser's business; these show the
  // answer's shape and the log lines.
  const std::pair<std::string, std::string> refusals[] = {
      {"{not json", "wrong request json string"},
      {R"({"biller_client_id": 12})", "wrong 'biller_client_id' attribute"},
      {R"({"biller_client_id": "c", "one_store_client_id": "i"})", "wrong OneStore auth key"},
  };
  for (const auto& [body, reason] : refusals) {
    EXPECT_EQ(Post("/v1/authentication", body).body,
              R"({"result": 1, "description": ")" + reason + R"("})")
        << body;
  }
  EXPECT_TRUE(biller_->WaitForLog("wrong authentication request: wrong OneStore auth key"));
  // The body may hold store credentials: it is never logged.
  EXPECT_TRUE(biller_->WaitForLog("wrong request json string: <redacted>"));
}

TEST_F(HttpEndpointsTest, MalformedValidationsGetTheWrongParameterAnswer) {
  Start({"--bypass=true"});
  const std::string session = Authenticate();
  const std::string common = R"({"sessionid": ")" + session +
                             R"(", "player_id": "p1", "player_service_provider": "guest", )";
  const std::pair<std::string, std::string> refusals[] = {
      {"/v1/validation/googleplay", "not json"},
      {"/v1/validation/googleplay", common + R"("package_name": "a", "product_id": "b"})"},
      {"/v1/validation/appleappstore",
       common + R"("receipt_data": "r", "product_id": "p", "quantity": "1"})"},
      {"/v1/validation/tstore",
       common + R"("txid": "x", "appid": "a", "signdata": "s", "products": ["a", 3]})"},
      {"/v1/validation/onestore",
       common + R"("purchase_id": "i", "package_name": "k", "product_id": "gem"})"},
  };
  for (const auto& [path, body] : refusals) {
    EXPECT_EQ(Post(path, body).body, kWrongParameter) << path << " " << body;
  }
  EXPECT_TRUE(biller_->WaitForLog(
      "wrong receipt validation request: wrong 'purchase_token' attribute"));
  EXPECT_TRUE(biller_->WaitForLog("wrong receipt validation request: wrong 'prodouct_id' attribute"));
  EXPECT_TRUE(
      biller_->WaitForLog("wrong receipt validation request: wrong element in 'products' attribute"));
}

// The statuses docs/openapi.yaml documents, as "METHOD /path STATUS" with
// the content type where the answer is described inline ("" otherwise). The
// document is written with two-space indents: paths at 2, methods at 4,
// statuses at 8, a status's content types at 12.
std::map<std::string, std::string> DocumentedAnswers() {
  std::ifstream in(std::string(BILLER_SOURCE_DIR) + "/docs/openapi.yaml");
  const std::regex path(R"(^  (/\S*):$)"), method(R"(^    (get|post):$)"),
      status(R"(^        '(\d{3})':$)"), type(R"(^            ([a-z]+/[^:]+):$)");
  std::map<std::string, std::string> answers;
  std::string current_path, current_method, current;
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, path)) current_path = m[1];
    if (std::regex_match(line, m, method)) current_method = m[1];
    if (std::regex_match(line, m, status)) {
      current = current_method + " " + current_path + " " + m[1].str();
      answers[current] = "";
    }
    if (!current.empty() && std::regex_match(line, m, type)) answers[current] = m[1];
    if (line.rfind("components:", 0) == 0) break;
  }
  return answers;
}

// Every answer docs/openapi.yaml documents is drawn from a real biller, whose
// database is reached through a proxy that the last probe cuts.
TEST(OpenApiTest, EveryDocumentedAnswerIsTheServers) {
  const TestDatabase db = TestDatabase::FromEnvironment();
  if (!db.available()) GTEST_SKIP() << "no test database";
  TcpProxy proxy(std::stoi(db.url.substr(db.url.rfind(':') + 1)));
  BillerProcess biller(BillerOptions{
      .flags = {"--mysql_server_url=127.0.0.1:" + std::to_string(proxy.port())}});
  ASSERT_TRUE(biller.running()) << biller.Log();
  ASSERT_TRUE(LoopbackConnection().Connect(biller.http_port(), 10s));
  const int http = biller.http_port();
  const int api = biller.api_port();
  const std::string session = [&] {
    const std::string body = HttpPost(http, "/v1/authentication", R"({"biller_client_id": "c"})").body;
    std::smatch m;
    std::regex_search(body, m, std::regex(R"re("sessionid": "([^"]+)")re"));
    return m.size() == 2 ? m[1].str() : std::string();
  }();
  const std::string common = R"({"sessionid": ")" + session +
                             R"(", "player_id": "p", "player_service_provider": "guest", )";
  // A request that draws each documented answer; the last one takes the
  // database away.
  const std::map<std::string, std::function<HttpResult()>> probes = {
      {"post /v1/authentication 200",
       [&] { return HttpPost(http, "/v1/authentication", R"({"biller_client_id": "c"})"); }},
      {"post /v1/authentication 413",
       [&] {
         HttpTestConnection client;
         EXPECT_TRUE(client.Connect(http));
         auto reply = client.Exchange(
             "POST /v1/authentication HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n");
         return reply ? HttpResult{reply->status, reply->body, reply->Header("content-type")}
                      : HttpResult{};
       }},
      {"post /v1/validation/googleplay 200",
       [&] {
         return HttpPost(http, "/v1/validation/googleplay",
                         common + R"("package_name": "a", "product_id": "b", "purchase_token": "c"})");
       }},
      {"post /v1/validation/appleappstore 200",
       [&] { return HttpPost(http, "/v1/validation/appleappstore", common + "}"); }},
      {"post /v1/validation/tstore 200",
       [&] { return HttpPost(http, "/v1/validation/tstore", "[]"); }},
      {"post /v1/validation/onestore 200",
       [&] {
         return HttpPost(http, "/v1/validation/onestore",
                         R"({"sessionid": "x", "player_id": "p", "player_service_provider": "g", )"
                         R"("purchase_id": "i", "package_name": "k", "prodouct_id": "gem"})");
       }},
      {"post /v1/notifications/appstore 503",
       [&] { return HttpPost(http, "/v1/notifications/appstore", "{}"); }},
      {"post /v1/notifications/googleplay 401",
       [&] { return HttpPost(http, "/v1/notifications/googleplay?token=t", "{}"); }},
      {"get /v1/revocations 200", [&] { return HttpGet(api, "/v1/revocations?since=0"); }},
      {"get /v1/revocations 400", [&] { return HttpGet(api, "/v1/revocations?limit=0"); }},
      {"get /v1/counters 200", [&] { return HttpGet(api, "/v1/counters"); }},
      {"get /v1/counters/{category}/{name} 200",
       [&] { return HttpGet(api, "/v1/counters/biller/validation_profiling"); }},
      {"get /v1/counters/{category}/{name} 404",
       [&] { return HttpGet(api, "/v1/counters/biller/nothing"); }},
      {"get /metrics 200", [&] { return HttpGet(api, "/metrics"); }},
      {"get /healthz 200", [&] { return HttpGet(api, "/healthz"); }},
      {"get /readyz 200", [&] { return HttpGet(api, "/readyz"); }},
      {"get /readyz 503",
       [&] {
         proxy.Cut();
         HttpResult result;
         for (int i = 0; i < 300 && result.status != 503; ++i) {
           std::this_thread::sleep_for(50ms);
           result = HttpGet(api, "/readyz");
         }
         return result;
       }},
  };
  const auto documented = DocumentedAnswers();
  ASSERT_EQ(documented.size(), probes.size());
  std::vector<std::string> order;
  for (const auto& [answer, type] : documented) order.push_back(answer);
  // The database goes last.
  std::stable_partition(order.begin(), order.end(),
                        [](const std::string& a) { return a != "get /readyz 503"; });
  for (const std::string& answer : order) {
    ASSERT_TRUE(probes.count(answer)) << "no probe for the documented " << answer;
    const HttpResult result = probes.at(answer)();
    EXPECT_EQ(std::to_string(result.status), answer.substr(answer.rfind(' ') + 1)) << answer;
    const std::string& type = documented.at(answer);
    if (!type.empty()) {
      EXPECT_EQ(result.content_type, type) << answer;
    }
  }
  // Without its database the process is alive, and ready again once the
  // database is back.
  EXPECT_EQ(HttpGet(api, "/healthz").body, R"({"status": "ok"})");
  EXPECT_NE(HttpGet(api, "/readyz").body.find("the database has not answered"), std::string::npos);
  proxy.Restore();
  HttpResult ready;
  for (int i = 0; i < 300 && ready.status != 200; ++i) {
    std::this_thread::sleep_for(50ms);
    ready = HttpGet(api, "/readyz");
  }
  EXPECT_EQ(ready.body, R"({"status": "ready"})");
}

}  // namespace
}  // namespace tvx::testing
