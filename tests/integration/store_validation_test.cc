// Receipt validation end to end, for every store over TCP and HTTP: a
// biller-server process pointed at the store's fake, and the test MariaDB.
// Which verdict each store answer gets is the adapters' unit tests' business.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <thread>

#include "framework/billing_store.h"
#include "src/billing_error.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"


namespace tvx::testing {
namespace {

using V = Biller::ReceiptValidation_Response;
using Id = const std::string&;
using Answers = std::vector<FakeResponse>;

// Characters that would end a SQL literal, a JSON string or a URL segment.
const std::string kHostileId = "it'em/1?a=b&c#\"d\\e";
const std::string kPlayer = "pl'ayer\"\\1";
constexpr char kSecret[] = "GOCSPX-a&b=c+d %2B/é";
constexpr char kRefreshToken[] = "1//0g&refresh=token+";
const std::string kOwner = "game-server-1|pl'ayer\"\\\\1|guest";  // as the mariadb client shows it

// `row` with "$" replaced by the id as the mariadb client shows it.
std::string Row(std::string row, Id id) {
  std::string shown;
  for (char c : id) shown += c == '\\' ? std::string("\\\\") : std::string(1, c);
  for (size_t at; (at = row.find('$')) != std::string::npos;) row.replace(at, 1, shown);
  return row;
}

// One store as the tests drive it; purchases are named by an id.
struct Store {
  std::string statistics, table, columns, row, decoded_provider{};
  Json arguments;
  std::function<std::string(Id)> receipt;
  std::function<void(Id, Answers)> script;
  std::function<FakeResponse(Id)> confirmed;
  bool checks_unnamed = true;  // refuses receipt("") without asking the store
  std::vector<std::string> flags{}, auth_keys{};
  Json http_credentials = Json::Object();
  const char* http_product_id = "product_id";  // OneStore's endpoint spells it "prodouct_id"
  bool test_environment = false;               // ids "test-..." are its test environment's
  bool retries = true;
  int requests_per_attempt = 1;
  std::string purchase_record{};  // what its "Purchase" record holds about the purchase
};

Store GooglePlay(FakeHttpServer* server) {
  auto google = std::make_shared<FakeGoogleStore>(server);
  // The token service refuses a secret altered by the form encoding.
  google->AddOAuthClient("oauth-client", kSecret, kRefreshToken);
  return Store{
      .statistics = "google_play",
      .table = "tb_receipt_google_play_v3",
      .columns = "biller_client_id, player_id, player_service_provider, package_name, product_id, "
                 "purchase_token, kind, purchase_time_millis, purchase_time_zone, purchase_state, "
                 "consumption_state, order_id, acknowledgement_state, purchase_type",
      .row = kOwner + "|com.talvex.game|gem_100|$|androidpublisher#productPurchase|1700000000123|"
                      "UTC|0|1|GPA.1|1|0",
      .decoded_provider = "GooglePlay",
      .arguments = StoreArguments(MakeStoreEndpoints(google.get(), nullptr, nullptr)),
      .receipt = [](Id id) { return MakeGooglePlayReceipt("com.talvex.game", "gem_100", id); },
      .script = [google](Id id, Answers answers) { google->SetPurchase(id, answers); },
      .confirmed = [](Id) { return FakeResponse::Json(200, FakeGoogleStore::MakePurchase(0)); },
      .auth_keys = {MakeGooglePlayAuthKey("oauth-client", kSecret, kRefreshToken)},
      .http_credentials = JsonObject({{"google_play_client_id", "oauth-client"},
                                      {"google_play_client_secret", kSecret},
                                      {"google_play_refresh_token", kRefreshToken}}),
      .purchase_record = R"("product_id":"gem_100","quantity":1,"client_timestamp":1700000000,)"
                         R"("client_timezone":"UTC")"};
}

// Only the OneStore host the biller should ask knows the purchases.
Store OneStore(FakeHttpServer* server, bool test_server) {
  auto hosts = std::make_shared<std::pair<FakeOneStore, FakeOneStore>>(
      std::piecewise_construct, std::forward_as_tuple(server, "/prod"),
      std::forward_as_tuple(server, "/sandbox"));
  hosts->first.AddClient("os-client", "os-secret");
  hosts->second.AddClient("os-client", "os-secret");
  return Store{
      .statistics = "one_store",
      .table = "tb_receipt_one_store",
      .columns = "biller_client_id, player_id, player_service_provider, is_test, purchase_id, "
                 "package_name, product_id, consumption_state, purchase_state, purchase_time",
      .row = kOwner + (test_server ? "|1" : "|0") + "|$|com.talvex.game|gem_100|0|0|1700000000123",
      .decoded_provider = "OneStore",
      .arguments = StoreArguments(MakeStoreEndpoints(nullptr, &hosts->first, &hosts->second)),
      .receipt = [](Id id) { return MakeOneStoreReceiptV5(id, "com.talvex.game", "gem_100"); },
      .script = [hosts, test_server](Id id, Answers answers) {
        (test_server ? hosts->second : hosts->first).SetPurchase(id, answers);
      },
      .confirmed =
          [](Id) { return FakeResponse::Json(200, FakeOneStore::MakePurchase(0, 1700000000123)); },
      .flags = {std::string("--biller_use_one_store_test_server=") +
                (test_server ? "true" : "false")},
      .auth_keys = {MakeOneStoreAuthKey("os-client", "os-secret")},
      .http_credentials = JsonObject(
          {{"one_store_client_id", "os-client"}, {"one_store_client_secret", "os-secret"}}),
      .http_product_id = "prodouct_id"};
}

// Production refers receipt data "test-..." to the sandbox. The stored
// receipt data loses its trailing padding; the requested product is the
// receipt's second purchase.
Store AppleAppStore(FakeHttpServer* server) {
  using Apple = FakeAppleStore;
  auto apple = std::make_shared<Apple>(server);
  Json endpoints = Json::Object();
  apple->AddEndpoints(&endpoints);
  return Store{
      .statistics = "apple",
      .table = "tb_receipt_apple_appstore2",
      .columns = "is_sandbox, receipt_data, product_id, quantity, transaction_id, "
                 "original_transaction_id, purchase_date, purchase_date_time_zone, "
                 "original_purchase_date, original_purchase_date_time_zone, biller_client_id, "
                 "player_id, player_service_provider",
      .row = "0|$|gem_100|3|T-$|T-$|2019-03-05 08:24:36|Etc/GMT|2019-03-05 08:24:36|Etc/GMT|" +
             kOwner,
      .decoded_provider = "AppleAppStore",
      .arguments = StoreArguments(endpoints),
      .receipt =
          [](Id id) { return MakeAppleAppStoreReceipt(id.empty() ? id : id + "==", "gem_100", 3); },
      .script =
          [a = apple](Id id, Answers answers) {
            const bool sandbox = id.rfind("test-", 0) == 0;
            if (sandbox) {
              a->Script(Apple::kProduction, id + "==", {Apple::Status(Apple::kSandboxReceipt)});
            }
            a->Script(sandbox ? Apple::kSandbox : Apple::kProduction, id + "==", answers);
          },
      .confirmed =
          [](Id id) {
            return Apple::Verified({Apple::Purchase("coin_10", "1", "T-coin"),
                                    Apple::Purchase("gem_100", "3", "T-" + id)});
          },
      .test_environment = true,
      .purchase_record = R"("product_id":"gem_100","quantity":3,"client_timestamp":1551774276,)"
                         R"("client_timezone":"Etc/GMT")"};
}

// Transactions "test-..." are confirmed by the development endpoint. The
// store writes the application and product in its own case and confirms an
// item the client did not name.
Store TStore(FakeHttpServer* server) {
  static constexpr char kAppId[] = "OA00012345";
  auto tstore = std::make_shared<FakeTStore>(server);
  Json endpoints = Json::Object();
  tstore->AddEndpoints(&endpoints);
  const auto is_test = [](Id id) { return id.rfind("test-", 0) == 0; };
  return Store{
      .statistics = "tstore",
      .table = "tb_receipt_tstore",
      .columns = "is_test, txid, appid, signdata, requested_product_ids, verified_product_ids, "
                 "biller_client_id, player_id, player_service_provider",
      .row = "0|$|" + std::string(kAppId) + "|sign-$|GEM_100|gem_100, bonus|" + kOwner,
      .decoded_provider = "TStore",
      .arguments = StoreArguments(endpoints),
      .receipt = [is_test](Id id) {
        return MakeOneStoreReceipt(id, kAppId, "sign-" + id, {"GEM_100"}, is_test(id));
      },
      .script = [t = tstore, is_test](Id id, Answers answers) {
        t->Script(is_test(id) ? FakeTStore::kDevelopment : FakeTStore::kProduction, id, answers);
      },
      .confirmed = [](Id) {
        return FakeTStore::Confirmed(
            {FakeTStore::Product("oa00012345", "gem_100"), FakeTStore::Product(kAppId, "bonus")});
      },
      .test_environment = true};
}

// Three uses of an entitlement are asked for; the platform is never asked again.
Store PlayStation(FakeHttpServer* server) {
  auto psn = std::make_shared<FakePlayStation>(server, "qa");
  psn->AddClient("biller-client", "s3cr:et", "auth-code-1");
  Json endpoints = Json::Object();
  psn->AddEndpoints(&endpoints);
  Json arguments = StoreArguments(endpoints);
  arguments.SetAttribute(
      "p4_platform",
      JsonObject({{"environment", "qa"}, {"client_id", "biller-client"}, {"secret", "s3cr:et"}}));
  return Store{
      .statistics = "p4store",
      .table = "tb_receipt_p4store",
      .columns = "service_label, entitlement_id, auth_code, environment, use_count, use_limit, "
                 "requested_use_count, biller_client_id, player_id, player_service_provider",
      .row = "7|$|auth-code-1|qa|1|5|3|" + kOwner,
      .arguments = arguments,
      .receipt = [](Id id) { return MakeP4StoreReceipt(id, 3, 7, "auth-code-1"); },
      .script = [psn](Id id, Answers answers) { psn->ScriptEntitlement(id, 7, answers); },
      .confirmed = [](Id id) {
        return FakeResponse::Json(200, FakePlayStation::Entitlement(id, true, 1, 5));
      },
      .checks_unnamed = false,
      .retries = false,
      .requests_per_attempt = 3};  // token, base URL, entitlement
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
  // The answer's result; over TCP `decoded_provider` asks for the decoded
  // receipt and receives its "service_provider".
  int64_t Validate(const std::string& id, std::string* decoded_provider = nullptr,
                   ValidationClient* client = nullptr) {
    if (!GetParam().http) {
      ValidationClient* via = client ? client : client_.get();
      const auto response = via->Validate(store_.receipt(id), decoded_provider != nullptr, kPlayer);
      Json decoded;
      if (decoded_provider && decoded.FromString(response.receipt_validation().decoded_receipt())) {
        *decoded_provider = decoded.GetString("service_provider");
      }
      return ResultOf(response);
    }
    std::string text = store_.receipt(id);
    if (const size_t at = text.find("\"product_id\""); at != std::string::npos) {
      text.replace(at + 1, 10, store_.http_product_id);
    }
    Json members;
    members.FromString(text);
    members.RemoveAttribute("service_provider");
    std::string path = "/v1/validation/" + store_.decoded_provider;
    std::transform(path.begin(), path.end(), path.begin(), ::tolower);
    return ValidateOverHttp(*biller_, path, session_, members, kPlayer);
  }
  std::vector<std::string> Rows() {
    std::vector<std::string> rows;
    const std::string query = "SELECT CONCAT_WS('|', " + store_.columns + ") FROM " + store_.table;
    for (const auto& columns : QueryRows(*biller_, query)) rows.push_back(columns.at(0));
    return rows;
  }

  Store store_ = GetParam().make(&server_);
  std::string session_;
};

// A purchase recorded once with its exact row, "already provisioned" again,
// a store failing once asked again on the real timer (the PlayStation
// platform answered at once), and concurrent validations of one purchase
// sharing its one row.
TEST_P(StoreValidation, PurchaseIsRecordedOnceRetriedAndConcurrentDuplicatesShareItsRow) {
  constexpr int kClients = 8;
  const bool http = GetParam().http;
  store_.script(kHostileId, {store_.confirmed(kHostileId)});
  FakeResponse slow = store_.confirmed("shared");
  slow.delay = std::chrono::milliseconds(50);
  store_.script("shared", {slow});
  store_.script("busy", {FakeResponse::Raw(503, "busy"), store_.confirmed("busy")});
  if (store_.test_environment) store_.script("test-1", {store_.confirmed("test-1")});
  Start(store_.arguments, store_.flags, store_.auth_keys);
  if (http && !HasFatalFailure()) session_ = OpenHttpSession(*biller_, store_.http_credentials);

  std::string decoded;
  EXPECT_EQ(Validate(kHostileId, &decoded), V::kSuccess) << biller_->Log();
  EXPECT_EQ(decoded, http ? "" : store_.decoded_provider);
  EXPECT_EQ(Rows(), std::vector<std::string>{Row(store_.row, kHostileId)});

  const auto records = ActivityRecords(*biller_, "Purchase");
  ASSERT_EQ(records.size(), store_.purchase_record.empty() ? 0u : 1u);
  for (Json record : records) {
    EXPECT_NEAR(static_cast<double>(record.GetInteger("server_timestamp")),
                static_cast<double>(std::time(nullptr)), 60);
    record.RemoveAttribute("server_timestamp");
    EXPECT_EQ(record.ToString(),
              R"({"biller_client":"game-server-1","local_account":"pl'ayer\"\\1",)"
              R"("account_provider":"guest",)" + store_.purchase_record + "}");
  }
  EXPECT_EQ(Validate(kHostileId), V::kFailAlreadyProvisioned);
  EXPECT_EQ(ActivityRecords(*biller_, "Purchase").size(), records.size());

  const int before = server_.RequestCount();
  EXPECT_EQ(Validate("busy"), store_.retries ? int64_t{V::kSuccess}
                                             : int64_t{kServiceProviderCommunicationError});
  EXPECT_EQ(server_.RequestCount() - before, (1 + store_.retries) * store_.requests_per_attempt);
  if (store_.test_environment) {
    EXPECT_EQ(Validate("test-1"), V::kSuccess);
  }
  // A receipt naming no purchase is refused without asking the store, and
  // not counted (over HTTP the endpoint's own checks answer first).
  const int asked = server_.RequestCount();
  if (!http && store_.checks_unnamed) {
    EXPECT_EQ(Validate(""), V::kFailWrongReceipt);
  }
  EXPECT_EQ(server_.RequestCount(), asked);
  const int64_t successes = 1 + store_.retries + store_.test_environment;
  EXPECT_EQ(Rows().size(), static_cast<size_t>(successes));
  ExpectCounts(store_.statistics,
               {{"execution_count", successes + 2},
                {"success_count", successes},
                {"already_provisioned_receipts_count", 1}});

  std::vector<std::unique_ptr<ValidationClient>> clients;
  for (int i = 0; i < kClients && !http; ++i) {
    clients.push_back(
        std::make_unique<ValidationClient>(*biller_, "game-server-1", store_.auth_keys));
    ASSERT_TRUE(clients.back()->ok()) << biller_->Log();
  }
  std::vector<int64_t> results(kClients, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back(
        [&, i] { results[i] = Validate("shared", nullptr, http ? nullptr : clients[i].get()); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(results.begin(), results.end(), V::kSuccess), 1);
  EXPECT_EQ(std::count(results.begin(), results.end(), V::kFailAlreadyProvisioned), kClients - 1);
  EXPECT_EQ(Rows().size(), static_cast<size_t>(successes + 1));
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
