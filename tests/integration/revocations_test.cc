// Revocations end to end: Google's voided-purchases list polled from a fake,
// App Store and Google Play notifications posted to the HTTP port, and the
// feed a game server reads them back from.
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "framework/base64.h"
#include "src/mysql_schema.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

constexpr char kPackage[] = "com.example.game";
constexpr char kAccount[] = "poller@example.iam.gserviceaccount.com";
constexpr char kToken[] = "s3cret&token";  // "&" must survive the query's encoding

std::string Sql(const ScratchDatabase& db, const std::string& sql) {
  return RunSql(db.server(), db.name(), sql).value_or("<failed>");
}

// The feed from its start, in one page.
std::vector<Json> ReadFeed(const BillerProcess& biller) {
  Json page;
  page.FromString(HttpGet(biller.api_port(), "/v1/revocations").body);
  std::vector<Json> all;
  for (size_t i = 0; i < page["revocations"].Size(); ++i) all.push_back(page["revocations"][i]);
  return all;
}

// The feed's entries, one a line: store, purchase, owner, time, reason, source.
std::string Entries(const std::vector<Json>& feed, size_t count) {
  std::string text;
  for (size_t i = 0; i < count && i < feed.size(); ++i) {
    const Json& e = feed[i];
    text += e.GetString("store") + "|" + e.GetString("purchase_id") + "|" +
            e.GetString("biller_client_id") + "|" + e.GetString("player_id") + "|" +
            std::to_string(e.GetInteger("revoked_at_ms")) + "|" + e.GetString("reason") + "|" +
            e.GetString("source") + "\n";
  }
  return text;
}

int RevocationCount(const BillerProcess& biller, const std::string& store) {
  const std::string series = "biller_revocations_total{store=\"" + store + "\"} ";
  const std::string text = HttpGet(biller.api_port(), "/metrics").body;
  const size_t at = text.find(series);
  return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + series.size());
}

class RevocationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestDatabase::FromEnvironment().available()) GTEST_SKIP() << "no BILLER_TEST_MYSQL_URL";
    ASSERT_NE(Sql(db_, ComposeSchemaExport(db_.server().url, db_.name(), ShippedSchemaScript())),
              "<failed>");
    keys_ = GenerateRsaKeyPair();
    google_.AddServiceAccount(kAccount, keys_.public_pem);
  }

  std::unique_ptr<BillerProcess> StartBiller() {
    Json arguments = StoreArguments(MakeStoreEndpoints(&google_, nullptr, nullptr));
    arguments.SetAttribute(
        "google_play_voided_purchases",
        JsonObject({{"package_names", JsonArray({Json(kPackage)})},
                    {"service_account", JsonObject({{"service_provider", "GooglePlay"},
                                                    {"private_key", keys_.private_pem},
                                                    {"client_email", kAccount}})},
                    {"poll_interval_s", 1}}));
    arguments.SetString("google_play_notification_token", kToken);
    arguments.SetAttribute("apple_app_store_server_api", apple_.Argument());
    auto biller = std::make_unique<BillerProcess>(BillerOptions{
        .flags = {"--mysql_server_url=" + db_.server().url, "--mysql_id=" + db_.server().user,
                  "--mysql_pw=" + db_.server().password, "--mysql_db_name=" + db_.name()},
        .with_database = false,
        .arguments_json = arguments.ToString()});
    EXPECT_TRUE(biller->running()) << biller->Log();
    return biller;
  }

  ScratchDatabase db_;
  RsaKeyPair keys_;
  FakeHttpServer server_;
  FakeGoogleStore google_{&server_};
  FakeAppleServerApi apple_{&server_};
};

TEST_F(RevocationsTest, VoidedPurchasesAreRecordedOnceWithTheirOwnerAcrossPagesAndRestarts) {
  ASSERT_NE(Sql(db_, "CALL sp_insert_receipt_google_play2('game-server-1', 'player-7', 'guest', "
                     "'com.example.game', 'gem_100', 'token-known', 'kind', '1', 'UTC', 0, 0, "
                     "'GPA.1', 0, 0, '')"),
            "<failed>");
  const int64_t now = NowMillis();
  google_.Void(kPackage, "token-known", now - 5000);
  google_.Void(kPackage, "token-unknown", now - 4000);
  google_.Void(kPackage, "token-third", now - 3000);  // a second page of two

  auto biller = StartBiller();
  ASSERT_TRUE(Eventually([&] { return ReadFeed(*biller).size() == 3; }, 20s)) << biller->Log();
  // A later poll finds them again and records nothing.
  const size_t polled = google_.ListRequests().size();
  ASSERT_TRUE(Eventually([&] { return google_.ListRequests().size() >= polled + 2; }, 20s));
  // The first poll reads the second page too, from the same start.
  const auto requests = google_.ListRequests();
  EXPECT_EQ(requests[0].package_name + " " + requests[1].page_token + " " +
                std::to_string(requests[1].start_time_ms - requests[0].start_time_ms),
            std::string(kPackage) + " 2 0");

  // Google voided a purchase the biller never recorded: kept, owner unknown.
  EXPECT_EQ(Entries(ReadFeed(*biller), 2),
            "GooglePlay|token-known|game-server-1|player-7|" + std::to_string(now - 5000) +
                "|chargeback|google_voided_purchases\nGooglePlay|token-unknown|||" +
                std::to_string(now - 4000) + "|chargeback|google_voided_purchases\n");
  EXPECT_EQ(ActivityRecords(*biller, "Revocation").size(), 3u);
  EXPECT_EQ(RevocationCount(*biller, "google_play"), 3);
  ASSERT_EQ(biller->Stop(), 0);

  // A restart goes on from the mark: nothing is recorded twice, and the
  // list is not asked 30 days back again.
  google_.Void(kPackage, "token-after-restart", now - 1000);
  const size_t before = google_.ListRequests().size();
  biller = StartBiller();
  ASSERT_TRUE(Eventually([&] { return ReadFeed(*biller).size() == 4; }, 20s)) << biller->Log();
  EXPECT_EQ(google_.ListRequests()[before].start_time_ms, now - 3000);
  const auto records = ActivityRecords(*biller, "Revocation");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].GetString("purchase_id"), "token-after-restart");
}

std::string AppStoreNotification(const std::string& type, const std::string& transaction_id,
                                 AppleTestPki::SignOptions outer = {},
                                 AppleTestPki::SignOptions inner = {},
                                 const std::string& bundle_id = kPackage) {
  const AppleTestPki& pki = AppleTestPki::Get();
  Json transaction =
      AppleTestPki::Transaction(transaction_id, "gem_100", bundle_id, "Production", NowMillis());
  transaction.SetAttribute("revocationDate", Json(int64_t{1700000000000}));
  transaction.SetAttribute("revocationReason", Json(1));
  const Json payload = JsonObject(
      {{"notificationType", type},
       {"notificationUUID", "uuid-" + transaction_id},
       {"data", JsonObject({{"bundleId", bundle_id},
                            {"environment", "Production"},
                            {"signedTransactionInfo", pki.Sign(transaction, inner)}})},
       {"version", "2.0"},
       {"signedDate", NowMillis()}});
  return JsonObject({{"signedPayload", pki.Sign(payload, outer)}}).ToString();
}

std::string PubSubPush(const std::string& notification_json) {
  return JsonObject({{"message", JsonObject({{"data", Base64Encode(notification_json)},
                                             {"messageId", "1"}})},
                     {"subscription", "projects/p/subscriptions/s"}})
      .ToString();
}

TEST_F(RevocationsTest, NotificationsAreRecordedUnlessForgedAndTheFeedReturnsEachOnce) {
  auto biller = StartBiller();
  const std::string google = "/v1/notifications/googleplay?token=s3cret%26token";
  const std::string voided =
      R"({"version": "1.0", "packageName": "com.example.game", "eventTimeMillis": "1700000000123",)"
      R"( "voidedPurchaseNotification": {"purchaseToken": "rtdn-token", "orderId": "GPA.9",)"
      R"( "productType": 2, "refundType": 1}})";
  const std::string apple = "/v1/notifications/appstore";
  // The case, the path, the body -> the status.
  const std::tuple<const char*, std::string, std::string, int> cases[] = {
      {"refund", apple, AppStoreNotification("REFUND", "T-1"), 200},
      {"refund sent again", apple, AppStoreNotification("REFUND", "T-1"), 200},
      {"type not acted on", apple, AppStoreNotification("DID_RENEW", "T-2"), 200},
      {"outer signature flipped", apple,
       AppStoreNotification("REFUND", "T-3", {.flip_signature = true}), 401},
      {"inner chain under another root", apple,
       AppStoreNotification("REVOKE", "T-4", {}, {.chain = AppleTestPki::Chain::kOtherRoot}), 401},
      {"another app", apple, AppStoreNotification("REFUND", "T-5", {}, {}, "com.other.app"), 401},
      {"not json", apple, "{", 400},
      {"void", google, PubSubPush(voided), 200},
      {"test notification", google, PubSubPush(R"({"testNotification": {"version": "1.0"}})"), 200},
      {"wrong token", "/v1/notifications/googleplay?token=s3cret", PubSubPush(voided), 401},
      {"no token", "/v1/notifications/googleplay", PubSubPush(voided), 401},
      {"data not base64", google, R"({"message": {"data": "%%%"}})", 400},
      {"no message", google, R"({"subscription": "s"})", 400},
  };
  for (const auto& [name, path, body, status] : cases) {
    EXPECT_EQ(HttpPost(biller->http_port(), path, body).status, status) << name;
  }

  EXPECT_EQ(Entries(ReadFeed(*biller), 3),
            "AppleAppStore|T-1|||1700000000000|app_issue|app_store_notification\n"
            "GooglePlay|rtdn-token|||1700000000123|full_refund|google_rtdn\n");
  EXPECT_EQ(RevocationCount(*biller, "apple_app_store"), 1);
  EXPECT_EQ(biller->CountInLog("s3cret"), 0);

  // Eight more share their millisecond: the cursor follows the order of
  // recording, not the time.
  std::string calls;
  for (int i = 2; i < 10; ++i) {
    calls += "CALL sp_insert_revocation('GooglePlay', 'p-" + std::to_string(i) +
             "', 1700000000000, 'remorse', 'google_rtdn');\n";
  }
  ASSERT_NE(Sql(db_, calls), "<failed>");
  std::string ids;
  for (const Json& entry : ReadFeed(*biller)) ids += entry.GetString("purchase_id") + " ";
  EXPECT_EQ(ids, "T-1 rtdn-token p-2 p-3 p-4 p-5 p-6 p-7 p-8 p-9 ");
  std::string answers;
  for (const char* query : {"", "?since=8", "?limit=3", "?limit=5000", "?since=99", "?since=-1",
                            "?since=x", "?limit=0", "?since=99999999999999999999"}) {
    const HttpResult result = HttpGet(biller->api_port(), std::string("/v1/revocations") + query);
    Json body;
    if (!body.FromString(result.body)) answers += "(not json)";
    answers += std::to_string(result.status) + ":" + std::to_string(body["revocations"].Size()) +
               "@" + std::to_string(body.GetInteger("next_since")) + " ";
  }
  EXPECT_EQ(answers,
            "200:10@10 200:2@10 200:3@3 200:10@10 200:0@99 400:0@0 400:0@0 400:0@0 400:0@0 ");
}

TEST_F(RevocationsTest, ARevocationNeverCommitsBeforeOneWithASmallerNumber) {
  // Another insert holds number 1 and has not committed yet. If the next
  // insert could commit number 2 now, a reader of the feed would pass 2 and
  // never see 1.
  auto first = std::async(std::launch::async, [&] {
    return Sql(db_,
               "START TRANSACTION;"
               "UPDATE tb_revocation_order SET inserts = inserts + 1 WHERE id = 1;"
               "INSERT INTO tb_revocation (seq, store, purchase_id, revoked_at_ms, reason, source,"
               " biller_client_id, player_id, recorded_at_ms)"
               " VALUES (1, 'GooglePlay', 'p-first', 0, '', 'google_rtdn', '', '', 0);"
               "DO SLEEP(3); COMMIT;");
  });
  ASSERT_TRUE(Eventually([&] {
    return Sql(db_, "SELECT COUNT(*) FROM information_schema.PROCESSLIST"
                    " WHERE DB = DATABASE() AND INFO LIKE 'DO SLEEP%'") == "1\n";
  }));
  auto second = std::async(std::launch::async, [&] {
    return Sql(db_, "CALL sp_insert_revocation('GooglePlay', 'p-second', 0, '', 'google_rtdn')");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(Sql(db_, "SELECT COUNT(*) FROM tb_revocation"), "0\n");
  ASSERT_NE(first.get(), "<failed>");
  ASSERT_NE(second.get(), "<failed>");
  EXPECT_EQ(Sql(db_, "SELECT GROUP_CONCAT(purchase_id ORDER BY seq) FROM tb_revocation"),
            "p-first,p-second\n");
}

}  // namespace
}  // namespace tvx::testing
