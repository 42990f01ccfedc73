// The HTTP JSON endpoints of a real biller-server.
#include <fstream>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"

namespace tvx::testing {
namespace {

// A validation body: the session and player members, then `rest`.
std::string Body(const std::string& session, const std::string& rest) {
  return R"({"sessionid": ")" + session +
         R"(", "player_id": "p1", "player_service_provider": "guest", )" + rest;
}

// Every authentication opens a session of its own, whose id also travels in
// a header, for load balancers; a validation may repeat it there, and one
// whose header and body disagree is refused (also in bypass mode, which
// checks nothing else, not even that the biller issued the session).
TEST(HttpEndpointsTest, BypassServesASessionOnOneKeptAliveConnection) {
  BillerProcess biller(BillerOptions{.flags = {"--bypass=true"}});
  ASSERT_TRUE(biller.running()) << biller.Log();
  HttpTestConnection client;
  // The harness waits for the TCP port; the HTTP server starts just after.
  ASSERT_TRUE(client.Connect(biller.http_port(), 10s)) << biller.Log();
  std::string header_session;  // of the last answer
  auto exchange = [&](const std::string& path, const std::string& body,
                      const std::string& header = "") {
    auto reply = client.Exchange(MakeHttpRequest("POST", path, body, header));
    header_session = reply ? reply->Header("x-biller-session") : "";
    return reply ? std::to_string(reply->status) + " " + reply->body : std::string("no answer");
  };
  std::vector<std::string> ids;
  for (int i = 0; i < 2; ++i) {
    const std::string answer = exchange("/v1/authentication", R"({"biller_client_id": "c1"})");
    ids.push_back(header_session);
    EXPECT_EQ(answer, R"(200 {"result": 0, "description": "", "sessionid": ")" + ids.back() +
                          R"("})");
  }
  ASSERT_EQ(ids[0].size(), 36u);
  const std::string& id = ids[0];
  const std::string ok = R"(200 {"result": 0})";
  const std::string refused =
      R"(200 {"result": 2000, "description": "Talvex-Biller: wrong parameter"})";
  const std::string purchase =
      R"("package_name": "k", "product_id": "gem", "purchase_token": "t"})";
  for (const auto& [header, answer] : std::vector<std::pair<std::string, std::string>>{
           {"X-Biller-Session: " + id + "\r\n", ok},
           {"x-biller-session: " + ids[1] + "\r\n", refused},  // another session
           {"X-Biller-Session: " + id + "\r\nX-Biller-Session: x\r\n", refused}}) {
    EXPECT_EQ(exchange("/v1/validation/googleplay", Body(id, purchase), header) + header_session,
              answer)
        << header << "only authentication answers carry the header";
  }
  EXPECT_EQ(exchange("/v1/validation/googleplay", Body("not-a-uuid", purchase)), ok);
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
  std::string current_path, current_method, current, line;
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
// database server of its own the last probe stops.
TEST(OpenApiTest, EveryDocumentedAnswerIsTheServers) {
  if (!PrivateMariadb::available()) GTEST_SKIP() << "no mariadbd";
  PrivateMariadb server;
  ASSERT_TRUE(server.Start());
  BillerProcess biller(BillerOptions{.flags = {"--mysql_server_url=" + server.url(),
                                               "--mysql_id=biller", "--mysql_pw=biller",
                                               "--mysql_db_name=biller"},
                                     .with_database = false});
  ASSERT_TRUE(biller.running()) << biller.Log();
  ASSERT_TRUE(LoopbackConnection().Connect(biller.http_port(), 10s));
  const int http = biller.http_port(), api = biller.api_port();
  // A request that draws each documented answer: a GET of the api port or
  // a POST of the HTTP port. The last one takes the database away.
  const std::map<std::string, std::pair<std::string, std::string>> probes = {
      {"post /v1/authentication 200", {"/v1/authentication", R"({"biller_client_id": "c"})"}},
      {"post /v1/authentication 413", {}},
      {"post /v1/validation/googleplay 200", {"/v1/validation/googleplay", "{}"}},
      {"post /v1/validation/appleappstore 200", {"/v1/validation/appleappstore", "{}"}},
      {"post /v1/validation/tstore 200", {"/v1/validation/tstore", "[]"}},
      {"post /v1/validation/onestore 200", {"/v1/validation/onestore", "{}"}},
      {"post /v1/notifications/appstore 503", {"/v1/notifications/appstore", "{}"}},
      {"post /v1/notifications/googleplay 401", {"/v1/notifications/googleplay?token=t", "{}"}},
      {"get /v1/revocations 200", {"/v1/revocations?since=0", ""}},
      {"get /v1/revocations 400", {"/v1/revocations?limit=0", ""}},
      {"get /v1/counters 200", {"/v1/counters", ""}},
      {"get /v1/counters/{category}/{name} 200", {"/v1/counters/biller/validation_profiling", ""}},
      {"get /v1/counters/{category}/{name} 404", {"/v1/counters/biller/nothing", ""}},
      {"get /metrics 200", {"/metrics", ""}},
      {"get /healthz 200", {"/healthz", ""}},
      {"get /readyz 200", {"/readyz", ""}},
      {"get /readyz 503", {"/readyz", ""}},
  };
  const auto documented = DocumentedAnswers();
  ASSERT_EQ(documented.size(), probes.size());
  for (const auto& [answer, type] : documented) {
    if (answer == "get /readyz 503") continue;  // the database goes last
    ASSERT_TRUE(probes.count(answer)) << "no probe for the documented " << answer;
    const auto& [path, body] = probes.at(answer);
    HttpResult result;
    if (answer == "post /v1/authentication 413") {
      HttpTestConnection client;
      EXPECT_TRUE(client.Connect(http));
      auto reply = client.Exchange(
          "POST /v1/authentication HTTP/1.1\r\nHost: x\r\nContent-Length: 2000000\r\n\r\n");
      if (reply) result = *reply;
    } else {
      result = answer[0] == 'g' ? HttpGet(api, path) : HttpPost(http, path, body);
    }
    const std::string content_type = type.empty() ? "" : result.Header("content-type");
    EXPECT_EQ(std::to_string(result.status) + " " + content_type,
              answer.substr(answer.rfind(' ') + 1) + " " + type);
  }
  server.Stop();
  EXPECT_TRUE(Eventually([&] { return HttpGet(api, "/readyz").status == 503; }, 15s));
  // Without its database the process is alive, and ready again once the
  // database is back.
  EXPECT_EQ(HttpGet(api, "/healthz").body, R"({"status": "ok"})");
  EXPECT_NE(HttpGet(api, "/readyz").body.find("the database has not answered"), std::string::npos);
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(Eventually([&] { return HttpGet(api, "/readyz").status == 200; }, 15s));
  EXPECT_EQ(HttpGet(api, "/readyz").body, R"({"status": "ready"})");
}

}  // namespace
}  // namespace tvx::testing
