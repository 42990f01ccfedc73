// Receipt validation end to end, for every store over TCP and HTTP: a
// biller-server process pointed at the store's fake, and the test MariaDB.
// A confirmed purchase is recorded once with its exact row, the same
// purchase again is answered "already provisioned", a store that fails once
// is asked again (the PlayStation platform: answered at once). Which
// verdict each store answer gets is the adapters' unit tests' business.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <thread>

#include "framework/billing_store.h"
#include "src/billing_error.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_apple_server.h"
#include "tests/support/fake_playstation_server.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/fake_tstore_server.h"
#include "tests/support/validation_client.h"

namespace tvx::testing {
namespace {

using V = Biller::ReceiptValidation_Response;
using Id = const std::string&;
using Answers = std::vector<FakeResponse>;

// Characters that would end a SQL literal, a JSON string or a URL segment,
// in a purchase id and in the player id.
const std::string kHostileId = "it'em/1?a=b&c#\"d\\e";
const std::string kPlayer = "pl'ayer\"\\1";
constexpr char kSecret[] = "GOCSPX-a&b=c+d %2B/é";
constexpr char kRefreshToken[] = "1//0g&refresh=token+";

// A text as the mariadb client prints it in a row.
std::string Shown(const std::string& text) {
  std::string shown;
  for (char c : text) shown += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return shown;
}

// One store as the tests drive it. Purchases are named by an id (a purchase
// token, receipt data, txid, purchase id or entitlement id).
struct Store {
  std::string statistics{}, row_query{}, http_path{}, decoded_provider{};
  Json arguments{};
  std::vector<std::string> flags{}, auth_keys{};
  Json http_credentials = Json::Object();
  std::function<std::string(Id)> receipt{};
  // Over HTTP the receipt's members go as they are, but OneStore's endpoint
  // spells the product "prodouct_id".
  const char* http_product_id = "product_id";
  std::function<void(Id, Answers)> script{};
  std::function<FakeResponse(Id)> confirmed{};
  std::function<std::string(Id)> row{};  // its columns joined by "|"
  bool test_environment = false;         // ids "test-..." are its test environment's
  // The answer of a cancelled purchase, where the store's own flow judges it.
  std::optional<FakeResponse> cancelled{};
  std::string unnamed_purchase{};  // a receipt naming no purchase
  bool retries = true;
  int requests_per_attempt = 1;
  std::optional<Json> purchase_record{};  // what its "Purchase" record holds
  std::shared_ptr<void> fakes{};
};

Store GooglePlay(FakeHttpServer* server) {
  auto google = std::make_shared<FakeGoogleStore>(server);
  // The token service refuses a secret or refresh token that arrives altered
  // by the form encoding.
  google->AddOAuthClient("oauth-client", kSecret, kRefreshToken);
  return Store{
      .statistics = "google_play",
      .row_query =
          "SELECT biller_client_id, player_id, player_service_provider, "
          "package_name, product_id, purchase_token, kind, purchase_time_millis, "
          "purchase_time_zone, purchase_state, consumption_state, order_id, "
          "acknowledgement_state, purchase_type FROM tb_receipt_google_play_v3",
      .decoded_provider = "GooglePlay",
      .arguments = StoreArguments(MakeStoreEndpoints(google.get(), nullptr, nullptr)),
      .auth_keys = {MakeGooglePlayAuthKey("oauth-client", kSecret, kRefreshToken)},
      .http_credentials = JsonObject({{"google_play_client_id", "oauth-client"},
                                      {"google_play_client_secret", kSecret},
                                      {"google_play_refresh_token", kRefreshToken}}),
      .receipt = [](Id id) { return MakeGooglePlayReceipt("com.talvex.game", "gem_100", id); },
      .script = [g = google.get()](Id id, Answers answers) { g->SetPurchase(id, answers); },
      .confirmed = [](Id) { return FakeResponse::Json(200, FakeGoogleStore::MakePurchase(0)); },
      .row =
          [](Id id) {
            return "game-server-1|" + Shown(kPlayer) + "|guest|com.talvex.game|gem_100|" +
                   Shown(id) + "|androidpublisher#productPurchase|1700000000123|UTC|0|1|GPA.1|1|0";
          },
      .unnamed_purchase = MakeGooglePlayReceipt("com.talvex.game", "gem_100", ""),
      .purchase_record = JsonObject({{"product_id", "gem_100"},
                                     {"quantity", 1},
                                     {"client_timestamp", 1700000000},
                                     {"client_timezone", "UTC"}}),
      .fakes = google};
}

// The biller asks OneStore's test host only with its test-server option;
// only the host it should ask knows the purchases.
Store OneStore(FakeHttpServer* server, bool test_server) {
  auto production = std::make_shared<FakeOneStore>(server, "/prod");
  auto test_host = std::make_shared<FakeOneStore>(server, "/sandbox");
  production->AddClient("os-client", "os-secret");
  test_host->AddClient("os-client", "os-secret");
  return Store{
      .statistics = "one_store",
      .row_query =
          "SELECT biller_client_id, player_id, player_service_provider, is_test, "
          "purchase_id, package_name, product_id, consumption_state, purchase_state, "
          "purchase_time FROM tb_receipt_one_store",
      .decoded_provider = "OneStore",
      .arguments = StoreArguments(MakeStoreEndpoints(nullptr, production.get(), test_host.get())),
      .flags = {std::string("--biller_use_one_store_test_server=") +
                (test_server ? "true" : "false")},
      .auth_keys = {MakeOneStoreAuthKey("os-client", "os-secret")},
      .http_credentials = JsonObject(
          {{"one_store_client_id", "os-client"}, {"one_store_client_secret", "os-secret"}}),
      .receipt = [](Id id) { return MakeOneStoreReceiptV5(id, "com.talvex.game", "gem_100"); },
      .http_product_id = "prodouct_id",
      .script = [host = (test_server ? test_host : production).get()](
                    Id id, Answers answers) { host->SetPurchase(id, answers); },
      .confirmed =
          [](Id) { return FakeResponse::Json(200, FakeOneStore::MakePurchase(0, 1700000000123)); },
      .row =
          [test_server](Id id) {
            return "game-server-1|" + Shown(kPlayer) + "|guest|" + (test_server ? "1|" : "0|") +
                   Shown(id) + "|com.talvex.game|gem_100|0|0|1700000000123";
          },
      .unnamed_purchase = MakeOneStoreReceiptV5("", "com.talvex.game", "gem_100"),
      .fakes =
          std::make_shared<std::pair<std::shared_ptr<FakeOneStore>, std::shared_ptr<FakeOneStore>>>(
              production, test_host)};
}

// Receipts whose data begins with "test-" are sandbox receipts: production
// refers them to the sandbox.
Store AppleAppStore(FakeHttpServer* server) {
  using Apple = FakeAppleStore;
  auto apple = std::make_shared<Apple>(server);
  Json endpoints = Json::Object();
  apple->AddEndpoints(&endpoints);
  // The requested product is the second purchase of the receipt.
  const auto confirmed = [](Id id) {
    return Apple::Verified(
        {Apple::Purchase("coin_10", "1", "T-coin"), Apple::Purchase("gem_100", "3", "T-" + id)});
  };
  Json cancelled = Apple::Purchase("gem_100", "3", "C-1");
  cancelled.SetString("cancellation_date", "2019-03-06 08:24:36 Etc/GMT");
  // The stored receipt data loses its trailing padding.
  return Store{
      .statistics = "apple",
      .row_query =
          "SELECT is_sandbox, receipt_data, product_id, quantity, transaction_id, "
          "original_transaction_id, purchase_date, purchase_date_time_zone, "
          "original_purchase_date, original_purchase_date_time_zone, "
          "biller_client_id, player_id, player_service_provider "
          "FROM tb_receipt_apple_appstore2",
      .decoded_provider = "AppleAppStore",
      .arguments = StoreArguments(endpoints),
      .receipt = [](Id id) { return MakeAppleAppStoreReceipt(id + "==", "gem_100", 3); },
      .script =
          [a = apple.get()](Id id, Answers answers) {
            if (id.rfind("test-", 0) == 0) {
              a->Script(Apple::kProduction, id + "==", {Apple::Status(Apple::kSandboxReceipt)});
              a->Script(Apple::kSandbox, id + "==", answers);
            } else {
              a->Script(Apple::kProduction, id + "==", answers);
            }
          },
      .confirmed = confirmed,
      .row =
          [](Id id) {
            return "0|" + Shown(id) + "|gem_100|3|" + Shown("T-" + id) + "|" + Shown("T-" + id) +
                   "|2019-03-05 08:24:36|Etc/GMT|2019-03-05 08:24:36|Etc/GMT|game-server-1|" +
                   Shown(kPlayer) + "|guest";
          },
      .test_environment = true,
      .cancelled = Apple::Verified({cancelled}),
      .unnamed_purchase = MakeAppleAppStoreReceipt("", "gem_100", 3),
      .purchase_record = JsonObject({{"product_id", "gem_100"},
                                     {"quantity", 3},
                                     {"client_timestamp", 1551774276},
                                     {"client_timezone", "Etc/GMT"}}),
      .fakes = apple};
}

// Transactions whose txid begins with "test-" are test receipts, confirmed
// by the development endpoint.
Store TStore(FakeHttpServer* server) {
  static constexpr char kAppId[] = "OA00012345";
  auto tstore = std::make_shared<FakeTStore>(server);
  Json endpoints = Json::Object();
  tstore->AddEndpoints(&endpoints);
  const auto is_test = [](Id id) { return id.rfind("test-", 0) == 0; };
  // The store writes the application and the product in its own case and
  // confirms an item the client did not name.
  const auto confirmed = [](Id) {
    return FakeTStore::Confirmed(
        {FakeTStore::Product("oa00012345", "gem_100"), FakeTStore::Product(kAppId, "bonus")});
  };
  return Store{.statistics = "tstore",
               .row_query =
                   "SELECT is_test, txid, appid, signdata, requested_product_ids, "
                   "verified_product_ids, biller_client_id, player_id, player_service_provider "
                   "FROM tb_receipt_tstore",
               .decoded_provider = "TStore",
               .arguments = StoreArguments(endpoints),
               .receipt =
                   [is_test](Id id) {
                     return MakeOneStoreReceipt(id, kAppId, "sign-" + id, {"GEM_100"}, is_test(id));
                   },
               .script =
                   [t = tstore.get(), is_test](Id id, Answers answers) {
                     t->Script(is_test(id) ? FakeTStore::kDevelopment : FakeTStore::kProduction, id,
                               answers);
                   },
               .confirmed = confirmed,
               .row =
                   [](Id id) {
                     return "0|" + Shown(id) + "|" + kAppId + "|" + Shown("sign-" + id) +
                            "|GEM_100|gem_100, bonus|game-server-1|" + Shown(kPlayer) + "|guest";
                   },
               .test_environment = true,
               .unnamed_purchase = MakeOneStoreReceipt("", kAppId, "sign-", {"GEM_100"}, false),
               .fakes = tstore};
}

// Three uses of an entitlement are asked for. The platform is never asked
// again.
Store PlayStation(FakeHttpServer* server) {
  auto psn = std::make_shared<FakePlayStation>(server, "qa");
  psn->SetClient("biller-client", "s3cr:et");
  psn->AddAuthCode("auth-code-1");
  Json endpoints = Json::Object();
  psn->AddEndpoints(&endpoints);
  Json arguments = StoreArguments(endpoints);
  arguments.SetAttribute(
      "p4_platform",
      JsonObject({{"environment", "qa"}, {"client_id", "biller-client"}, {"secret", "s3cr:et"}}));
  return Store{
      .statistics = "p4store",
      .row_query =
          "SELECT service_label, entitlement_id, auth_code, environment, use_count, "
          "use_limit, requested_use_count, biller_client_id, player_id, "
          "player_service_provider FROM tb_receipt_p4store",
      .arguments = arguments,
      .receipt = [](Id id) { return MakeP4StoreReceipt(id, 3, 7, "auth-code-1"); },
      .script = [p = psn.get()](Id id, Answers answers) { p->ScriptEntitlement(id, 7, answers); },
      .confirmed =
          [](Id id) {
            return FakeResponse::Json(200, FakePlayStation::Entitlement(id, true, 1, 5));
          },
      .row =
          [](Id id) {
            return "7|" + Shown(id) + "|auth-code-1|qa|1|5|3|game-server-1|" + Shown(kPlayer) +
                   "|guest";
          },
      .retries = false,
      .requests_per_attempt = 3,  // token, base URL, entitlement
      .fakes = psn};
}

struct StoreParam {
  const char* name;
  std::function<Store(FakeHttpServer*)> make;
  bool http = false;
};
void PrintTo(const StoreParam& param, std::ostream* out) { *out << param.name; }

class StoreValidation : public StoreValidationTest,
                        public ::testing::WithParamInterface<StoreParam> {
 protected:
  StoreValidation() : store_(GetParam().make(&server_)) {}

  void Start() {
    StoreValidationTest::Start(store_.arguments, store_.flags, store_.auth_keys);
    if (GetParam().http && !HasFatalFailure()) {
      session_ = OpenHttpSession(*biller_, store_.http_credentials);
    }
  }

  // The answer's result or failure code. Over TCP the decoded receipt is
  // asked for when `decoded_provider` is given, and its "service_provider"
  // stored there ("" when the answer has none).
  int64_t Validate(const std::string& id, std::string* decoded_provider = nullptr) {
    if (!GetParam().http) {
      const std::string receipt = store_.receipt(id);
      const auto response = client_->Validate(receipt, decoded_provider != nullptr, kPlayer);
      Json decoded;
      if (decoded_provider && decoded.FromString(response.receipt_validation().decoded_receipt())) {
        *decoded_provider = decoded.GetString("service_provider");
      }
      return ResultOf(response);
    }
    Json members;
    members.FromString(store_.receipt(id));
    members.RemoveAttribute("service_provider");
    if (members.HasAttribute("product_id")) {
      const Json product = members["product_id"];
      members.RemoveAttribute("product_id");
      members.SetAttribute(store_.http_product_id, product);
    }
    std::string path = "/v1/validation/" + store_.decoded_provider;
    std::transform(path.begin(), path.end(), path.begin(), ::tolower);
    return ValidateOverHttp(*biller_, path, session_, members, kPlayer);
  }

  size_t Rows() { return QueryRows(*biller_, store_.row_query).size(); }

  Store store_;
  std::string session_;
};

// Concurrent validations of one purchase share its one row.
TEST_P(StoreValidation, PurchaseIsRecordedOnceRetriedAndConcurrentDuplicatesShareItsRow) {
  constexpr int kClients = 8;
  store_.script(kHostileId, {store_.confirmed(kHostileId)});
  FakeResponse slow = store_.confirmed("shared");
  slow.delay = std::chrono::milliseconds(50);
  store_.script("shared", {slow});
  store_.script("busy", {FakeResponse::Raw(503, "busy"), store_.confirmed("busy")});
  if (store_.test_environment) store_.script("test-1", {store_.confirmed("test-1")});
  if (store_.cancelled) store_.script("cancelled", {*store_.cancelled});
  Start();

  std::string decoded;
  EXPECT_EQ(Validate(kHostileId, &decoded), V::kSuccess) << biller_->Log();
  if (!GetParam().http) {
    EXPECT_EQ(decoded, store_.decoded_provider);
  }
  const auto rows = QueryRows(*biller_, store_.row_query);
  ASSERT_EQ(rows.size(), 1u);
  std::string row;
  for (const auto& column : rows[0]) row += (row.empty() ? "" : "|") + column;
  EXPECT_EQ(row, store_.row(kHostileId));

  auto records = ActivityRecords(*biller_, "Purchase");
  ASSERT_EQ(records.size(), store_.purchase_record ? 1u : 0u);
  if (store_.purchase_record) {
    Json expected = JsonObject({{"biller_client", "game-server-1"},
                                {"local_account", kPlayer},
                                {"account_provider", "guest"}});
    for (const auto& name : store_.purchase_record->GetAttributeNames()) {
      expected.SetAttribute(name, store_.purchase_record->GetAttribute(name));
    }
    const int64_t server_timestamp = records[0].GetInteger("server_timestamp");
    EXPECT_NEAR(static_cast<double>(server_timestamp), static_cast<double>(std::time(nullptr)), 60);
    EXPECT_EQ(records[0].ToString(),
              expected.SetAttribute("server_timestamp", server_timestamp).ToString());
  }
  EXPECT_EQ(Validate(kHostileId), V::kFailAlreadyProvisioned);
  EXPECT_EQ(Rows(), 1u);
  EXPECT_EQ(ActivityRecords(*biller_, "Purchase").size(), records.size());

  const int before = server_.RequestCount();
  const int per_attempt = store_.requests_per_attempt;
  if (store_.retries) {
    EXPECT_EQ(Validate("busy"), V::kSuccess) << biller_->Log();
    EXPECT_EQ(server_.RequestCount() - before, 2 * per_attempt);
  } else {
    EXPECT_EQ(Validate("busy"), kServiceProviderCommunicationError);
    EXPECT_EQ(server_.RequestCount() - before, per_attempt);
  }
  if (store_.test_environment) {
    EXPECT_EQ(Validate("test-1"), V::kSuccess);
  }
  if (store_.cancelled) {
    EXPECT_EQ(Validate("cancelled"), V::kFailCancelledReceipt);
  }
  // A receipt naming no purchase is refused without asking the store, and
  // not counted (over HTTP the endpoint's own checks answer first).
  const int asked = server_.RequestCount();
  if (!GetParam().http && !store_.unnamed_purchase.empty()) {
    EXPECT_EQ(ResultOf(client_->Validate(store_.unnamed_purchase, false, kPlayer)),
              V::kFailWrongReceipt);
  }
  EXPECT_EQ(server_.RequestCount(), asked);
  const int64_t successes = 1 + store_.retries + store_.test_environment;
  EXPECT_EQ(Rows(), static_cast<size_t>(successes));
  // Every attempt that reached the store is counted.
  ExpectCounts(store_.statistics,
               {{"execution_count", successes + 2 + store_.cancelled.has_value()},
                {"success_count", successes},
                {"already_provisioned_receipts_count", 1}});

  std::vector<std::unique_ptr<ValidationClient>> clients;
  for (int i = 0; i < kClients && !GetParam().http; ++i) {
    clients.push_back(
        std::make_unique<ValidationClient>(*biller_, "game-server-1", store_.auth_keys));
    ASSERT_TRUE(clients.back()->ok()) << biller_->Log();
  }
  std::vector<int64_t> results(kClients, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      results[i] = GetParam().http
                       ? Validate("shared")
                       : ResultOf(clients[i]->Validate(store_.receipt("shared"), false, kPlayer));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(results.begin(), results.end(), V::kSuccess), 1);
  EXPECT_EQ(std::count(results.begin(), results.end(), V::kFailAlreadyProvisioned), kClients - 1);
  EXPECT_EQ(Rows(), static_cast<size_t>(successes + 1));
}

const auto kOneStore = [](FakeHttpServer* server) { return OneStore(server, false); };
const auto kOneStoreTestServer = [](FakeHttpServer* server) { return OneStore(server, true); };

INSTANTIATE_TEST_SUITE_P(
    Stores, StoreValidation,
    ::testing::Values(StoreParam{"GooglePlayTcp", GooglePlay},
                      StoreParam{"GooglePlayHttp", GooglePlay, true},
                      StoreParam{"OneStoreTcp", kOneStore},
                      StoreParam{"OneStoreTestServerHttp", kOneStoreTestServer, true},
                      StoreParam{"AppleAppStoreTcp", AppleAppStore},
                      StoreParam{"AppleAppStoreHttp", AppleAppStore, true},
                      StoreParam{"TStoreTcp", TStore}, StoreParam{"TStoreHttp", TStore, true},
                      StoreParam{"PlayStationTcp", PlayStation}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tvx::testing
