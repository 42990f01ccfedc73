// Two billers on a three-node Galera cluster (scripts/cluster.sh, from
// BILLER_TEST_CLUSTER_PORT or 3430) behind HAProxy with deploy/haproxy.cfg.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <future>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/billing_store.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_store_server.h"

extern char** environ;

namespace tvx::testing {
namespace {

using V = Biller::ReceiptValidation_Response;
const std::string kAuthKey = MakeGooglePlayAuthKey("oauth-client", "secret", "refresh");

// Whether the SQL and Galera ports of a cluster on `base` are all free.
bool PortsFree(int base) {
  for (int n = 1; n <= 3; ++n) {
    for (int port : {base + n - 1, base + 1140 + 10 * n, base + 1141 + 10 * n,
                     base + 1142 + 10 * n}) {
      if (LoopbackConnection().Connect(port)) return false;
    }
  }
  return true;
}

int Cluster(const std::string& arguments) {
  const std::string script = std::string(BILLER_SOURCE_DIR) + "/scripts/cluster.sh ";
  return std::system((script + arguments + " >/dev/null").c_str());
}

class GaleraClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef BILLER_SANITIZED_BUILD
    GTEST_SKIP() << "the cluster test runs in the Release build only";
#endif
    if (!std::filesystem::exists("/usr/lib/galera/libgalera_smm.so") ||
        std::system("command -v haproxy >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "galera-4 or haproxy is not installed (scripts/install_deps.sh)";
    }
    // The first free base, so that runs in several checkouts do not meet.
    const char* from = std::getenv("BILLER_TEST_CLUSTER_PORT");
    base_port_ = from && *from ? std::atoi(from) : 3430;
    while (!PortsFree(base_port_)) base_port_ += 10;
    dir_ = ::mkdtemp(std::string("/tmp/biller-cluster-XXXXXX").data());
    ASSERT_EQ(Cluster("start " + dir_ + " " + std::to_string(base_port_)), 0);
  }

  void TearDown() override {
    if (haproxy_ > 0) ::kill(haproxy_, SIGTERM), ::waitpid(haproxy_, nullptr, 0);
    billers_.clear();
    if (!dir_.empty()) Cluster("stop " + dir_), std::filesystem::remove_all(dir_);
  }

  std::string NodeUrl(int n) const { return "127.0.0.1:" + std::to_string(base_port_ + n - 1); }

  std::optional<std::string> Recorded(int node) const {
    return RunSql({NodeUrl(node), "biller", "biller"}, "biller",
                  "SELECT COUNT(*) FROM tb_receipt_google_play_v3");
  }

  BillerOptions OnNode(int node) {
    return {.flags = {"--mysql_server_url=" + NodeUrl(node), "--mysql_id=biller",
                      "--mysql_pw=biller", "--mysql_db_name=biller"},
            .with_database = false,
            .arguments_json =
                StoreArguments(MakeStoreEndpoints(&google_, nullptr, nullptr)).ToString()};
  }

  // HAProxy with the shipped configuration in front of billers 0 and 1.
  void StartHaproxy() {
    ::setenv("BILLER_LB_BIND", "127.0.0.1", 1);
    std::map<std::string, int> ports = {{"BILLER_LB_TCP_PORT", tcp_port_ = FreePort()},
                                        {"BILLER_LB_HTTP_PORT", http_port_ = FreePort()}};
    for (int b : {0, 1}) {
      const std::string prefix = "BILLER" + std::to_string(b + 1);
      ports[prefix + "_TCP_PORT"] = billers_[b]->tcp_port();
      ports[prefix + "_HTTP_PORT"] = billers_[b]->http_port();
      ports[prefix + "_API_PORT"] = billers_[b]->api_port();
    }
    for (const auto& [name, port] : ports) ::setenv(name.c_str(), std::to_string(port).c_str(), 1);
    const std::string config = std::string(BILLER_SOURCE_DIR) + "/deploy/haproxy.cfg";
    const char* argv[] = {"haproxy", "-db", "-q", "-f", config.c_str(), nullptr};
    ASSERT_EQ(::posix_spawnp(&haproxy_, "haproxy", nullptr, nullptr,
                             const_cast<char* const*>(argv), environ), 0);
    ASSERT_TRUE(LoopbackConnection().Connect(tcp_port_, 10s) &&
                LoopbackConnection().Connect(http_port_, 10s));
  }

  // Answers to validations of the tokens, in their order (-1 for a missing
  // answer), spread over `clients` authenticated sessions on `port`, pipelined.
  static std::vector<int64_t> Validate(const std::vector<std::string>& tokens, int clients,
                                       int port) {
    std::vector<int64_t> all(tokens.size(), -1);
    std::vector<std::jthread> runs;
    for (int c = 0; c < clients; ++c) {
      runs.emplace_back([&, c] {
        TcpClient client;
        Biller::Response answer;
        EXPECT_TRUE(client.Connect(port) &&
                    client.Send(MakeAuthenticationRequest("game-server-1", {kAuthKey})) &&
                    client.Receive(&answer) && answer.authentication().result() == 0);
        std::map<std::string, size_t> sent;  // request uuid -> token index
        for (size_t i = c; i < tokens.size(); i += clients) {
          auto request = MakeValidationRequest(
              MakeGooglePlayReceipt("com.talvex.game", "gem_100", tokens[i]));
          sent[request.request_uuid()] = i;
          client.Send(request);
        }
        for (size_t n = sent.size(); n > 0 && client.Receive(&answer, 30s); --n) {
          const auto it = sent.find(answer.request_uuid());
          if (it != sent.end()) all[it->second] = ResultOf(answer);
        }
      });
    }
    runs.clear();
    return all;
  }

  // `count` tokens named `prefix`N that Google confirms.
  std::vector<std::string> Purchases(const std::string& prefix, int count) {
    std::vector<std::string> tokens;
    for (int i = 0; i < count; ++i) {
      tokens.push_back(prefix + std::to_string(i));
      google_.SetPurchase(tokens.back(),
                          {FakeResponse::Json(200, FakeGoogleStore::MakePurchase(0))});
    }
    return tokens;
  }

  int base_port_ = 0;
  std::string dir_;
  FakeHttpServer server_;
  FakeGoogleStore google_{&server_};
  std::vector<std::unique_ptr<BillerProcess>> billers_;
  pid_t haproxy_ = -1;
  int tcp_port_ = 0, http_port_ = 0;
};

TEST_F(GaleraClusterTest, BillersOnSeveralNodesRecordEachPurchaseOnceBehindHaproxy) {
  google_.AddOAuthClient("oauth-client", "secret", "refresh");
  // Two billers start at once on a new database, on different nodes.
  auto first =
      std::async(std::launch::async, [&] { return std::make_unique<BillerProcess>(OnNode(1)); });
  billers_.push_back(std::make_unique<BillerProcess>(OnNode(2)));
  billers_.insert(billers_.begin(), first.get());
  ASSERT_TRUE(billers_[0]->running() && billers_[1]->running());
  ASSERT_NO_FATAL_FAILURE(StartHaproxy());

  // Each purchase validated once by each biller at about the same moment:
  // the loser's commit fails certification (1213) and is run again, finding
  // the purchase taken. Each is recorded once, on every node.
  const auto pairs = Purchases("pair-", 100);
  auto on_first =
      std::async(std::launch::async, [&] { return Validate(pairs, 1, billers_[0]->tcp_port()); });
  const auto second = Validate(pairs, 1, billers_[1]->tcp_port());
  const auto first_results = on_first.get();
  for (size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(std::minmax(first_results[i], second[i]),
              std::minmax(int64_t{0}, int64_t{V::kFailAlreadyProvisioned})) << pairs[i];
  }
  EXPECT_EQ(ActivityRecords(*billers_[0], "Purchase").size() +
                ActivityRecords(*billers_[1], "Purchase").size(), 100u);
  for (int node = 1; node <= 3; ++node) {
    EXPECT_TRUE(Eventually([&] { return Recorded(node) == "100\n"; })) << "node " << node;
  }

  // An HTTP session made through HAProxy stays on its biller, while each
  // validation comes on a new connection that HAProxy balances anew.
  const std::string id =
      HttpPost(http_port_, "/v1/authentication",
               R"({"biller_client_id": "game-server-1", "google_play_client_id": "oauth-client", )"
               R"("google_play_client_secret": "secret", "google_play_refresh_token": "refresh"})")
          .Header("x-biller-session");
  ASSERT_EQ(id.size(), 36u);
  for (int i = 0; i < 6; ++i) {
    HttpTestConnection fresh;
    auto reply = !fresh.Connect(http_port_) ? std::nullopt : fresh.Exchange(MakeHttpRequest(
        "POST", "/v1/validation/googleplay",
        R"({"sessionid": ")" + id + R"(", "player_id": "p", "player_service_provider": "g", )"
        R"("package_name": "com.talvex.game", "product_id": "gem_100", )"
        R"("purchase_token": "pair-0"})",
        "X-Biller-Session: " + id + "\r\n"));
    EXPECT_EQ(reply ? reply->body : "no answer", R"({"result": 1000})") << "validation " << i;
  }

  // Node 3 goes away: the billers on the other nodes go on recording, both
  // given validations by HAProxy.
  ASSERT_EQ(Cluster("stop " + dir_ + " 3"), 0);
  std::vector<int> logged;
  for (auto& biller : billers_) logged.push_back(biller->CountInLog("gem_100"));
  const auto later = Validate(Purchases("after-stop-", 20), 4, tcp_port_);
  EXPECT_EQ(std::count(later.begin(), later.end(), 0), 20);
  EXPECT_EQ(Recorded(1), "120\n");
  for (size_t b = 0; b < billers_.size(); ++b) {
    EXPECT_GT(billers_[b]->CountInLog("gem_100"), logged[b]) << "HAProxy passed biller " << b;
  }
}

}  // namespace
}  // namespace tvx::testing
