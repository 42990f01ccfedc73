// Authentication end to end: a biller-server process proves store credentials
// with the fake Google and OneStore token services.
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

constexpr char kRefusedText[] = "Talvex-Biller: wrong service provider authentication key";

int64_t ResidentKiB(pid_t pid) {
  int64_t size = 0, resident = 0;
  std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Authentications on tcp_, a connection of their own.
class AuthenticationTest : public StoreValidationTest {
 protected:
  void Start(const std::vector<std::string>& flags = {}) {
    StoreValidationTest::Start(
        StoreArguments(MakeStoreEndpoints(&google_, &one_store_, &one_store_test_)), flags);
    ASSERT_TRUE(tcp_.Connect(biller_->tcp_port()));
  }

  Biller::Response Ask(const Biller::Request& request) {
    Biller::Response response;
    EXPECT_TRUE(tcp_.Send(request));
    EXPECT_TRUE(tcp_.Receive(&response)) << biller_->Log();
    EXPECT_EQ(response.request_uuid(), request.request_uuid());
    return response;
  }
  // "<result> <description>" of the answer, "fail <code> <description>" of a failure.
  std::string Authenticate(const std::vector<std::string>& keys,
                           const std::string& client_id = "game-server-1") {
    const Biller::Response r = Ask(MakeAuthenticationRequest(client_id, keys));
    if (r.type() == Biller::kFailure) {
      return "fail " + std::to_string(r.fail().code()) + " " + r.fail().description();
    }
    return std::to_string(r.authentication().result()) + " " + r.authentication().description();
  }

  FakeGoogleStore google_{&server_};
  FakeOneStore one_store_{&server_, "/prod"};
  FakeOneStore one_store_test_{&server_, "/sandbox"};
  TcpClient tcp_;
};

// A refused key answers once, naming its store, and leaves the session
// unauthenticated: the client may try again on the same connection. Keys
// refused before any store is asked get one answer too, whatever the order of
// good and bad keys, and no token request.
TEST_F(AuthenticationTest, RefusedOrMalformedKeysAnswerOnceAndARevokedTokenIsRenewed) {
  google_.AddOAuthClient("slow-client", "secret", "refresh", TokenScript{.delay = 500ms});
  google_.AddOAuthClient("oauth-client", "secret", "refresh");
  one_store_.AddClient("os-client", "os-secret");
  // Google revoked the cached token: the purchase query is refused with 401
  // once, then answered for the renewed token.
  google_.SetPurchase("tok-1", {FakeResponse::Json(401, Json::Object()),
                                FakeResponse::Json(200, FakeGoogleStore::MakePurchase(0))});
  Start();
  const std::string refused = std::string("6 ") + kRefusedText;
  const std::string google_refused = std::string("6 GooglePlay: ") + kRefusedText;
  // The second key fails first; the late success is ignored.
  EXPECT_EQ(Authenticate({MakeGooglePlayAuthKey("slow-client", "secret", "refresh"),
                          MakeOneStoreAuthKey("os-client", "wrong")}),
            std::string("6 OneStore: ") + kRefusedText);
  EXPECT_TRUE(biller_->WaitForLog("Other provider authentication has already failed."))
      << biller_->Log();

  const std::string good = MakeGooglePlayAuthKey("oauth-client", "secret", "refresh");
  const int asked = server_.RequestCount();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{good, R"({"service_provider": "SomeStore"})"}, "5 Talvex-Biller: wrong service provider"},
      {{R"({"service_provider":"GooglePlay","private_key":"x","client_email":"a@b"})", "{}"},
       google_refused},
      {{MakeGooglePlayAuthKey(GenerateRsaKeyPair(4608).private_pem, "a@b.iam.gserviceaccount.com")},
       google_refused},
      {{MakeOneStoreAuthKey("os-client", std::string(64 * 1024, 's'))}, refused},
      {{good, "[]"}, refused},
      {{good, good, good}, refused},
      {{R"({"service_provider": "GooglePlay", "client_id": "only"})"}, refused},
      {{R"({"service_provider": "OneStore", "client_id": 7, "client_secret": "s"})"}, refused},
  };
  for (const auto& [keys, outcome] : cases) {
    // A second answer to the authentication would arrive instead of the
    // validation's.
    EXPECT_EQ(Authenticate(keys) + " " + std::to_string(ResultOf(Ask(MakeValidationRequest("{}")))),
              outcome + " 1005")
        << keys.front().substr(0, 80);
  }
  EXPECT_EQ(server_.RequestCount(), asked);

  EXPECT_EQ(Authenticate({good}), "0 ");
  EXPECT_EQ(ResultOf(Ask(MakeValidationRequest(
                MakeGooglePlayReceipt("com.example.game", "gem", "tok-1")))),
            Biller::ReceiptValidation_Response::kSuccess)
      << biller_->Log();
  ASSERT_EQ(server_.RequestCount("/androidpublisher"), 2);
  EXPECT_NE(server_.Requests("/androidpublisher").back().target.find(
                "access_token=ya29.oauth-client.2"),
            std::string::npos);
}

// How each failed token request reads: AccessTokenCacheTest, ReadAccessTokenAnswerTest.
TEST_F(AuthenticationTest, HangingTokenServiceFailsTheRequestAndShutdownStillStops) {
  one_store_.AddClient("hanging", "secret", TokenScript{.answer = FakeResponse::Hang()});
  Start();
  // Answered within the client's 10 s wait: the token request is given up after 2 s.
  EXPECT_EQ(Authenticate({MakeOneStoreAuthKey("hanging", "secret")}),
            "fail 2003 OneStore: Talvex-Biller common: http request failure");
  // A process asked to stop while a token request hangs stops cleanly.
  ASSERT_TRUE(tcp_.Send(MakeAuthenticationRequest(
      "game-server-1", {MakeOneStoreAuthKey("hanging", "secret")})));
  ASSERT_TRUE(Eventually([&] { return one_store_.TokenRequestCount("hanging") >= 2; }));
  EXPECT_EQ(biller_->Stop(), 0) << biller_->Log();
}

TEST_F(AuthenticationTest, NoCredentialReachesTheLogAndNoClientForgesALine) {
  const std::string email = "logs@game.iam.gserviceaccount.com";
  const RsaKeyPair keys = GenerateRsaKeyPair();
  google_.AddServiceAccount(email, keys.public_pem);
  google_.AddOAuthClient("oauth-client", "GP-SECRET-1", "REFRESH-TOKEN-1");
  one_store_.AddClient("os-client", "OS-SECRET-1");
  Start({"--v=2"});
  EXPECT_EQ(Authenticate({MakeGooglePlayAuthKey(keys.private_pem, email),
                          MakeOneStoreAuthKey("os-client", "OS-SECRET-1")},
                         "game\nE1207 00:00:00.000000 1 forged.cc:1] FORGED"),
            "0 ");
  for (const std::string& key :
       {MakeGooglePlayAuthKey("oauth-client", "GP-SECRET-1", "REFRESH-TOKEN-1"),
        std::string("not json GP-SECRET-2")}) {
    ValidationClient other(*biller_, "game-2", {key});
  }
  EXPECT_EQ(HttpPost(biller_->http_port(), "/v1/authentication",
                     R"({"biller_client_id": "web", "one_store_client_secret": "OS-SECRET-2")")
                .body,
            R"({"result": 1, "description": "wrong request json string"})");
  ASSERT_TRUE(biller_->WaitForLog("wrong request json string: <redacted>"));
  // A session the biller never opened is logged escaped; its answer: HttpHandlersTest.
  const std::string unknown_session =
      R"({"sessionid": "s\nE1207 00:00:00.000000 1 forged.cc:1] FORGED", "player_id": "p", )"
      R"("player_service_provider": "g", "purchase_id": "i", "package_name": "k", )"
      R"("prodouct_id": "gem"})";
  HttpPost(biller_->http_port(), "/v1/validation/onestore", unknown_session);
  ASSERT_TRUE(biller_->WaitForLog("unknown session[s\\nE1207"));

  const std::string log = biller_->Log();
  for (const char* secret : {"PRIVATE KEY", "GP-SECRET-", "REFRESH-TOKEN-", "OS-SECRET-", "ya29.",
                             "os.os-client", "eyJ"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
  }
  EXPECT_EQ(log.find("\nE1207"), std::string::npos);
  EXPECT_NE(log.find("game\\nE1207"), std::string::npos);
  // Both caches hold a token and a refresh timer; stopping cancels them.
  EXPECT_EQ(biller_->Stop(), 0);
}

TEST_F(AuthenticationTest, RefusedAuthenticationsWithLargeKeysLeaveMemoryFlat) {
#if defined(BILLER_SANITIZED_BUILD)
  GTEST_SKIP() << "the address sanitizer keeps freed memory in quarantine";
#endif
  Start({"--minloglevel=1"});
  const std::string text = R"({"biller_client_id": "web", "google_play_private_key": ")" +
                           std::string(48 * 1024, 'k') +
                           R"(", "google_play_client_email": "a@b.iam.gserviceaccount.com"})";
  int64_t before = 0;
  for (int i = 0; i < 2300; ++i) {
    if (i == 300) before = ResidentKiB(biller_->pid());  // allocator and buffers warmed up
    const HttpResult result = HttpPost(biller_->http_port(), "/v1/authentication", text);
    ASSERT_NE(result.body.find("\"result\": 6"), std::string::npos) << result.body;
  }
  const int64_t after = ResidentKiB(biller_->pid());
  ASSERT_GT(before, 0);
  // 2,000 kept keys alone would be 96 MiB.
  EXPECT_LT(after - before, 8 * 1024) << before << " KiB -> " << after << " KiB";
}

}  // namespace
}  // namespace tvx::testing
