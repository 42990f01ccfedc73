// Turning HTTP JSON bodies into biller requests: which bodies are refused,
// with which text, and what the accepted ones become.
#include "src/billing_agent_http.h"

#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "framework/uuid.h"
#include "src/session.h"

namespace tvx {
namespace {

using E = HttpValidationEndpoint;

// The refusal's text, or "ok <receipt>".
std::string Validate(E endpoint, const std::string& body) {
  HttpValidationFields fields;
  std::string error;
  return ParseHttpValidationBody(endpoint, body, &fields, &error) ? "ok " + fields.receipt : error;
}

std::string Body(const std::string& members, const std::string& session_id = "s") {
  return R"({"sessionid": ")" + session_id +
         R"(", "player_id": "p", "player_service_provider": "g", )" + members + "}";
}

TEST(HttpAuthenticationBodyTest, RefusalsNameTheFirstWrongAttribute) {
  const std::string c = R"("biller_client_id": "c", )";
  const std::pair<std::string, std::string> refusals[] = {
      {"[]", "wrong request json string"},
      {R"({"biller_client_id": ""})", "wrong 'biller_client_id' attribute"},
      {"{" + c + R"("google_play_refresh_token": null})",
       "wrong 'google_play_refresh_token' attribute"},
      // An empty text is as good as absent.
      {"{" + c + R"("google_play_private_key": "", "google_play_client_email": "e"})",
       "service account data is invalid (client email, private key)"},
      {"{" + c + R"("google_play_client_id": "i", "google_play_client_secret": "s"})",
       "client data is invalid (client id, secret, refresh token)"},
      {"{" + c +
           R"("google_play_private_key": "k", "google_play_client_email": "e",
                    "google_play_client_id": "i", "google_play_client_secret": "s",
                    "google_play_refresh_token": "r"})",
       "private_key and client id cannot be used together"},
      {"{" + c + R"("one_store_client_id": "i"})", "wrong OneStore auth key"},
      // Google Play is examined before OneStore.
      {"{" + c + R"("one_store_client_id": "i", "google_play_client_email": "e"})",
       "service account data is invalid (client email, private key)"},
  };
  for (const auto& [body, refusal] : refusals) {
    HttpAuthenticationFields fields;
    std::string error;
    EXPECT_FALSE(ParseHttpAuthenticationBody(body, &fields, &error)) << body;
    EXPECT_EQ(error, refusal);
  }
}

// The keys parse back to the very texts given, whatever they hold.
TEST(HttpAuthenticationBodyTest, CredentialsBecomeAuthKeysGooglePlayFirst) {
  const std::string in_json = R"(a\"b\\c&d=e+f\n{})", text = "a\"b\\c&d=e+f\n{}";
  HttpAuthenticationFields both, service;
  std::string error, a, b, c, d, e;
  ASSERT_TRUE(ParseHttpAuthenticationBody(
      R"({"one_store_client_id": "os-id", "one_store_client_secret": ")" + in_json + R"(",
          "google_play_client_id": "gid", "google_play_client_secret": ")" + in_json + R"(",
          "google_play_refresh_token": "gr", "google_play_private_key": "",
          "biller_client_id": "c\"1"})", &both, &error)) << error;
  ASSERT_EQ(both.auth_keys.size(), 2u);
  EXPECT_TRUE(ParseGooglePlayAuthKey(both.auth_keys[0], &a, &b, &c));
  EXPECT_TRUE(ParseOneStoreAuthKey(both.auth_keys[1], &d, &e));
  EXPECT_EQ(std::tie(both.biller_client_id, a, b, c, d, e),
            std::tuple("c\"1", "gr", "gid", text, "os-id", text));
  ASSERT_TRUE(ParseHttpAuthenticationBody(
      R"({"biller_client_id": "c", "google_play_private_key": ")" + in_json + R"(",
          "google_play_client_email": "svc@example.com"})", &service, &error));
  ASSERT_EQ(service.auth_keys.size(), 1u);
  EXPECT_TRUE(ParseGooglePlayAuthKey(service.auth_keys[0], &a, &b));
  EXPECT_EQ(std::tie(a, b), std::tuple(text, "svc@example.com"));
}

TEST(HttpValidationBodyTest, RefusalsNameTheFirstWrongAttributeAndOptionsMayBeLeftOut) {
  // Every endpoint reads the session and the player first, alike.
  EXPECT_EQ(Validate(E::kOneStore, R"({"sessionid": "s", "player_service_provider": "g"})"),
            "wrong 'player_id' attribute");
  const std::string tstore = R"("txid": "t", "appid": "a", "signdata": "s", )";
  const std::tuple<E, std::string, std::string> refusals[] = {
      {E::kGooglePlay, R"("package_name": "a", "product_id": 2, "purchase_token": "c")",
       "product_id"},
      {E::kAppleAppStore, R"("receipt_data": "r", "product_id": "p", "quantity": 1.5)", "quantity"},
      {E::kTStore, tstore + R"("products": "a")", "products"},
      {E::kOneStore, R"("purchase_id": "i", "package_name": "k", "product_id": "p")",
       "prodouct_id"},
  };
  for (const auto& [endpoint, members, attribute] : refusals) {
    EXPECT_EQ(Validate(endpoint, Body(members)), "wrong '" + attribute + "' attribute");
  }
  EXPECT_EQ(Validate(E::kTStore, Body(tstore + R"("products": ["a", 3])")),
            "wrong element in 'products' attribute");
  // Only a real boolean asks for the test server.
  EXPECT_EQ(Validate(E::kTStore, Body(tstore + R"("test": "yes", "products": [])")),
            "ok " + MakeOneStoreReceipt("t", "a", "s", {}, false));
}

class RecordingSocket : public HttpSocket {
 public:
  bool SendResponse(const std::string& body, const std::string& content_type) override {
    return SendResponse(200, body, content_type);
  }
  bool SendResponse(int status, const std::string& body, const std::string& content_type) override {
    answers.push_back(std::to_string(status) + " " + content_type + " " + body);
    return true;
  }
  std::vector<std::string> answers;
};

// A session that exists goes on to the dispatch, which refuses it there for
// not being authenticated.
TEST(HttpHandlersTest, SessionsTheBillerNeverIssuedAreRefusedWithoutGrowingTheRegistry) {
  auto session = std::make_shared<ClientSession>(RandomGenerator::GenerateUuid());
  session->set_state(ClientSession::kCreated);
  AddHttpSession(session);
  const size_t sessions = HttpSessionCount();
  for (const std::string& id : {util::ToString(RandomGenerator::GenerateUuid()),
                                std::string("not a uuid"), util::ToString(session->id())}) {
    auto socket = std::make_shared<RecordingSocket>();
    auto request = std::make_shared<http::Request2>();
    request->body = Body(R"("package_name": "a", "product_id": "b", "purchase_token": "c")", id);
    OnHttpGooglePlayValidation(socket, request);
    EXPECT_EQ(socket->answers, std::vector<std::string>{R"(200 application/json {"result": 1005})"})
        << id;
  }
  EXPECT_EQ(HttpSessionCount(), sessions);
  EXPECT_TRUE(session->state() == ClientSession::kCreated);
}

}  // namespace
}  // namespace tvx
