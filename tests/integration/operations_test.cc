// What an operator relies on, against a real biller-server: the Prometheus
// exposition counting real answers, SIGTERM with validations under way, the
// bypass warning and configuration record, systemd notifications, SIGHUP and
// the password file.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "src/billing_error.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

using Apple = FakeAppleStore;

class OperationsTest : public StoreValidationTest {
 protected:
  FakeAppleStore apple_{&server_};
};

TEST_F(OperationsTest, MetricsCountTheAnswersStoreRequestsAndInserts) {
  apple_.Script(Apple::kProduction, "r-ok", {Apple::Verified({Apple::Purchase("gem", "1", "7")})});
  // The store cannot answer "r-retried" once, then confirms.
  apple_.Script(Apple::kProduction, "r-retried",
                {FakeResponse::Raw(503), Apple::Verified({Apple::Purchase("gem", "1", "8")})});
  Json endpoints = Json::Object();
  apple_.AddEndpoints(&endpoints);
  Start(StoreArguments(endpoints));

  std::string results;
  for (const char* receipt : {"r-ok", "r-ok", "r-unknown", "r-retried"}) {
    const auto response = client_->Validate(MakeAppleAppStoreReceipt(receipt, "gem", 1));
    results += std::to_string(ResultOf(response)) + " ";
  }
  EXPECT_EQ(results, "0 1000 1001 0 ");
  // A connection that never authenticated: refused by the dispatch, before
  // its receipt is read.
  TcpClient stranger;
  Biller::Response refused;
  ASSERT_TRUE(stranger.Connect(biller_->tcp_port()) &&
              stranger.Send(MakeValidationRequest(MakeAppleAppStoreReceipt("r", "gem", 1))) &&
              stranger.Receive(&refused));
  EXPECT_EQ(ResultOf(refused), 1005);

  // Answers are counted as they leave; the exposition's lines are
  // "name{labels} value".
  const std::string apple = R"(store="apple_app_store")";
  const std::string refusal = R"(biller_validations_total{result="1005",store="unknown"} 1)";
  HttpResult metrics;
  EXPECT_TRUE(Eventually([&] {
    metrics = HttpGet(biller_->api_port(), "/metrics");
    return metrics.body.find(refusal) != std::string::npos;
  }));
  EXPECT_EQ(metrics.Header("content-type"), "text/plain; version=0.0.4");
  const std::string samples[] = {
      R"(biller_validations_total{result="0",)" + apple + "} 2",
      R"(biller_validations_total{result="1000",)" + apple + "} 1",
      R"(biller_validations_total{result="1001",)" + apple + "} 1",
      R"(biller_authentications_total{result="0"} 1)",
      "biller_validation_duration_seconds_count{" + apple + "} 4",
      "biller_store_request_duration_seconds_count{" + apple + "} 5",
      "biller_store_request_failures_total{" + apple + "} 1",
      "biller_db_insert_duration_seconds_count{" + apple + "} 3",
      R"(biller_db_insert_duration_seconds_count{store="google_play"} 0)",
      refusal,
      "biller_inflight_validations 0",
      "biller_db_queue_length 0",
      R"(biller_sessions{transport="tcp"} 2)",
      R"(biller_connections{listener="tcp"} 2)",
  };
  for (const std::string& sample : samples) {
    EXPECT_NE(metrics.body.find("\n" + sample + "\n"), std::string::npos) << sample;
  }
  const std::regex build_info(R"(\nbiller_build_info\{version="[^"]+".*\} 1\n)");
  EXPECT_TRUE(std::regex_search(metrics.body, build_info)) << metrics.body;
}

// SIGTERM while validations wait on the store.
TEST_F(OperationsTest, SigtermLetsRequestsInFlightFinishAndAnswersTheRest2003) {
  FakeResponse slow = Apple::Verified({Apple::Purchase("gem_100", "1", "1000000777")});
  slow.delay = 1500ms;  // confirmed during the grace period
  apple_.Script(Apple::kProduction, "slow", {slow});
  apple_.Script(Apple::kProduction, "stuck", {FakeResponse::Hang()});
  Json endpoints = Json::Object();
  apple_.AddEndpoints(&endpoints);
  Start(StoreArguments(endpoints),
        {"--http_client_timeout_ms=60000", "--shutdown_grace_period_s=4"});

  Biller::Response response;
  const std::string http_request =
      R"({"sessionid": ")" + OpenHttpSession(*biller_) +
      R"(", "player_id": "p", "player_service_provider": "guest", "receipt_data": "stuck",)"
      R"( "product_id": "gem_100", "quantity": 1})";
  auto http_answer = std::async(std::launch::async, [&] {
    return HttpPost(biller_->http_port(), "/v1/validation/appleappstore", http_request, 60s);
  });
  const auto slow_request = MakeValidationRequest(MakeAppleAppStoreReceipt("slow", "gem_100", 1));
  const auto stuck_request =
      MakeValidationRequest(MakeAppleAppStoreReceipt("stuck", "gem_100", 1));
  ASSERT_TRUE(client_->Send(slow_request) && client_->Send(stuck_request));
  ASSERT_TRUE(Eventually([&] { return apple_.RequestCount(Apple::kProduction) == 3; }, 10s));

  auto exit_status = std::async(std::launch::async, [&] { return biller_->Stop(60s); });
  ASSERT_TRUE(biller_->WaitForLog("BillingAgent::Stop: waiting up to 4 s for 3 requests"))
      << biller_->Log();
  // The listeners are closed, and an open connection reads no new request.
  EXPECT_FALSE(LoopbackConnection().Connect(biller_->tcp_port()));
  EXPECT_FALSE(LoopbackConnection().Connect(biller_->http_port()));
  ASSERT_TRUE(client_->Send(MakeAuthenticationRequest("too late")));

  ASSERT_TRUE(client_->Receive(&response, 30s)) << biller_->Log();
  EXPECT_EQ(response.request_uuid(), slow_request.request_uuid());
  EXPECT_EQ(ResultOf(response), 0);
  ASSERT_TRUE(client_->Receive(&response, 30s)) << biller_->Log();
  EXPECT_EQ(response.request_uuid(), stuck_request.request_uuid());
  EXPECT_EQ(response.type(), Biller::kFailure);
  EXPECT_EQ(ResultOf(response), kServiceProviderCommunicationError);
  EXPECT_TRUE(client_->WaitForClose(10s));
  EXPECT_EQ(http_answer.get().body, R"({"result": 2003, "description": )"
                                     R"("Talvex-Biller: service provider communication error"})");

  EXPECT_EQ(exit_status.get(), 0) << biller_->Log();
  EXPECT_EQ(biller_->CountInLog("3 requests still waiting"), 0);
  EXPECT_TRUE(biller_->WaitForLog("2 requests still waiting at the end of the grace period"));
  EXPECT_EQ(QueryRows(*biller_, "SELECT transaction_id FROM tb_receipt_apple_appstore2"),
            (std::vector<std::vector<std::string>>{{"1000000777"}}));
}

// A biller in bypass mode and without a TCP listener, which it runs without.
TEST(OperationsProcessTest, NotifiesSystemdReopensLogsOnHangupAndStopsCleanlyOnSigterm) {
  const TestDatabase db = TestDatabase::FromEnvironment();
  if (!db.available()) GTEST_SKIP() << "no test database";
  const std::string dir = ::testing::TempDir() + "/ops-" + std::to_string(::getpid());
  std::filesystem::create_directories(dir);
  const std::string socket_path = dir + "/notify";
  const int receiver = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval patience{20, 0};
  ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  auto next_notification = [&] {
    char text[256] = {};
    const ssize_t n = ::recv(receiver, text, sizeof text - 1, 0);
    return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
  };
  std::ofstream(dir + "/pw") << db.password << "\nignored second line\n";

  ::setenv("NOTIFY_SOCKET", socket_path.c_str(), 1);
  // The password comes from the file alone. No TCP port: READY=1 tells it is up.
  BillerProcess biller(BillerOptions{.flags = {"--bypass=true", "--protobuf_listen_port=0",
                                                "--mysql_pw=wrong",
                                                "--mysql_pw_file=" + dir + "/pw"},
                                     .wait_until_listening = false});
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(next_notification(), "READY=1");
  ASSERT_TRUE(biller.running()) << biller.Log();
  const std::string log = biller.Log();
  // A warning: glog marks its lines with a leading W.
  EXPECT_TRUE(std::regex_search(log, std::regex(R"((^|\n)W[^\n]*\] Run as bypass mode)"))) << log;
  EXPECT_NE(log.find("configuration\nlisten_port=0\nbypass=1\n"), std::string::npos) << log;

  for (int i = 0; i < 2; ++i) ASSERT_EQ(::kill(biller.pid(), SIGHUP), 0);
  EXPECT_TRUE(biller.WaitForLog("log files reopened"));

  EXPECT_EQ(biller.Stop(), 0);
  EXPECT_TRUE(biller.WaitForLog("] Quit"));
  EXPECT_EQ(next_notification(), "STOPPING=1");
  ::close(receiver);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tvx::testing
