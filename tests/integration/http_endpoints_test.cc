// The HTTP JSON endpoints of a real biller-server.
#include <regex>

#include <gtest/gtest.h>

#include "framework/uuid.h"
#include "tests/support/biller_process.h"
#include "tests/support/http_test_client.h"

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

}  // namespace
}  // namespace tvx::testing
