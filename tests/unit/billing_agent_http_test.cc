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

std::string AuthError(const std::string& body) {
  HttpAuthenticationFields fields;
  std::string error;
  EXPECT_FALSE(ParseHttpAuthenticationBody(body, &fields, &error)) << body;
  return error;
}

std::string ValidationError(E endpoint, const std::string& body) {
  HttpValidationFields fields;
  std::string error;
  EXPECT_FALSE(ParseHttpValidationBody(endpoint, body, &fields, &error)) << body;
  return error;
}

// The accepted body's receipt, parsed back.
Json Receipt(E endpoint, const std::string& body) {
  HttpValidationFields fields;
  std::string error;
  EXPECT_TRUE(ParseHttpValidationBody(endpoint, body, &fields, &error)) << body << ": " << error;
  Json receipt;
  EXPECT_TRUE(receipt.FromString(fields.receipt));
  return receipt;
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
  for (const auto& [body, error] : refusals) EXPECT_EQ(AuthError(body), error);
}

TEST(HttpAuthenticationBodyTest, CredentialsBecomeAuthKeysGooglePlayFirst) {
  auto keys = [](const std::string& body) {
    HttpAuthenticationFields fields;
    std::string error;
    EXPECT_TRUE(ParseHttpAuthenticationBody(body, &fields, &error)) << error;
    EXPECT_EQ(fields.biller_client_id, "c\"1");
    return fields.auth_keys;
  };
  auto both = keys(R"({"one_store_client_id": "os-id", "one_store_client_secret": "os&=+",
                       "google_play_client_id": "gid", "google_play_client_secret": "gs",
                       "google_play_refresh_token": "gr", "google_play_private_key": "",
                       "biller_client_id": "c\"1"})");
  ASSERT_EQ(both.size(), 2u);
  std::string a, b, c;
  EXPECT_TRUE(ParseGooglePlayAuthKey(both[0], &a, &b, &c));
  EXPECT_EQ(a + " " + b + " " + c, "gr gid gs");
  EXPECT_TRUE(ParseOneStoreAuthKey(both[1], &a, &b));
  EXPECT_EQ(a + " " + b, "os-id os&=+");
  auto service = keys(R"({"biller_client_id": "c\"1", "google_play_private_key": "-----KEY-----\n",
                          "google_play_client_email": "svc@example.com"})");
  ASSERT_EQ(service.size(), 1u);
  EXPECT_TRUE(ParseGooglePlayAuthKey(service[0], &a, &b));
  EXPECT_EQ(a + b, "-----KEY-----\nsvc@example.com");
}

TEST(HttpValidationBodyTest, RefusalsNameTheFirstWrongAttributeAndOptionsMayBeLeftOut) {
  for (E endpoint : {E::kGooglePlay, E::kAppleAppStore, E::kTStore, E::kOneStore}) {
    EXPECT_EQ(ValidationError(endpoint, "[]"), "wrong request json string");
    EXPECT_EQ(ValidationError(endpoint, R"({"sessionid": "s", "player_service_provider": "g"})"),
              "wrong 'player_id' attribute");
  }
  const std::string tstore = R"("txid": "t", "appid": "a", "signdata": "s", )";
  const std::tuple<E, std::string, std::string> refusals[] = {
      {E::kGooglePlay, R"("package_name": "a", "product_id": 2, "purchase_token": "c")",
       "product_id"},
      {E::kAppleAppStore, R"("receipt_data": "r", "product_id": "p", "quantity": 1.5)", "quantity"},
      {E::kAppleAppStore,
       R"("receipt_data": "r", "product_id": "p", "quantity": 18446744073709551615)", "quantity"},
      {E::kTStore, tstore + R"("products": "a")", "products"},
      {E::kOneStore, R"("purchase_id": "i", "package_name": "k", "product_id": "p")",
       "prodouct_id"},
  };
  for (const auto& [endpoint, members, attribute] : refusals) {
    EXPECT_EQ(ValidationError(endpoint, Body(members)), "wrong '" + attribute + "' attribute");
  }
  EXPECT_EQ(ValidationError(E::kTStore, Body(tstore + R"("products": ["a", 3])")),
            "wrong element in 'products' attribute");
  // The TStore test flag is optional and the products may be none.
  const Json receipt = Receipt(E::kTStore, Body(tstore + R"("test": "yes", "products": [])"));
  EXPECT_FALSE(receipt.GetBool("test"));
  EXPECT_EQ(receipt["products"].Size(), 0u);
}

// Records what a handler answers.
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

std::vector<std::string> Handle(HttpServer::Handler handler, const std::string& body) {
  auto socket = std::make_shared<RecordingSocket>();
  auto request = std::make_shared<http::Request2>();
  request->body = body;
  handler(socket, request);
  return socket->answers;
}

TEST(HttpHandlersTest, SessionsTheBillerNeverIssuedAreRefusedWithoutGrowingTheRegistry) {
  const std::vector<std::string> refused = {R"(200 application/json {"result": 1005})"};
  const std::string purchase = R"("package_name": "a", "product_id": "b", "purchase_token": "c")";
  const size_t sessions = HttpSessionCount();
  for (const std::string& id :
       {util::ToString(RandomGenerator::GenerateUuid()), std::string("not a uuid")}) {
    EXPECT_EQ(Handle(&OnHttpGooglePlayValidation, Body(purchase, id)), refused) << id;
  }
  EXPECT_EQ(HttpSessionCount(), sessions);

  // A session that exists goes on to the dispatch, which refuses it there
  // for not being authenticated.
  auto session = std::make_shared<ClientSession>(RandomGenerator::GenerateUuid());
  session->set_state(ClientSession::kCreated);
  AddHttpSession(session);
  EXPECT_EQ(
      Handle(&OnHttpGooglePlayValidation, Body(purchase, util::ToString(session->id()))),
      refused);
  EXPECT_TRUE(session->state() == ClientSession::kCreated);
}

}  // namespace
}  // namespace tvx
