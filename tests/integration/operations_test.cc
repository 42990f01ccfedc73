// What an operator relies on, against a real biller-server: the Prometheus
// exposition counting real answers, systemd notifications, SIGHUP, the
// password file, --version and --help.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/billing_store.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/validation_client.h"

namespace tvx::testing {
namespace {

using Apple = FakeAppleStore;

// The samples of a text exposition by series ("name{labels}"), after
// checking that every line is a comment or a well-formed sample and that
// every sampled family was announced with # TYPE.
std::map<std::string, double> Scrape(const BillerProcess& biller) {
  const HttpResult result = HttpGet(biller.api_port(), "/metrics");
  EXPECT_EQ(result.content_type, "text/plain; version=0.0.4");
  static const std::regex kSample(
      R"re(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="[^"\\]*",?)*\})? (\S+))re");
  static const std::regex kType(R"re(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))re");
  std::map<std::string, double> samples;
  std::set<std::string> typed;
  std::istringstream lines(result.body);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    // A family typed twice is flagged as not a sample.
    if (std::regex_match(line, match, kType) && typed.insert(match[1]).second) continue;
    if (line.empty() || line.rfind("# HELP ", 0) == 0) continue;
    if (!std::regex_match(line, match, kSample)) {
      ADD_FAILURE() << "not a sample: " << line;
      continue;
    }
    const std::string name = match[1];
    const std::string family = std::regex_replace(name, std::regex("_(bucket|sum|count)$"), "");
    EXPECT_TRUE(typed.count(name) || typed.count(family)) << "untyped: " << line;
    samples[name + match[2].str()] = std::stod(match[4]);
  }
  return samples;
}

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
  ASSERT_TRUE(stranger.Connect(biller_->tcp_port()));
  ASSERT_TRUE(stranger.Send(MakeValidationRequest(MakeAppleAppStoreReceipt("r", "gem", 1))));
  Biller::Response refused;
  ASSERT_TRUE(stranger.Receive(&refused));
  EXPECT_EQ(ResultOf(refused), 1005);

  // Answers are counted as they leave.
  const std::string apple = R"(store="apple_app_store")";
  const std::string refusal = R"(biller_validations_total{result="1005",store="unknown"})";
  std::map<std::string, double> samples;
  for (int i = 0; i < 250 && !samples.count(refusal); ++i) {
    std::this_thread::sleep_for(20ms);
    samples = Scrape(*biller_);
  }
  const std::map<std::string, double> expected = {
      {R"(biller_validations_total{result="0",)" + apple + "}", 2},
      {R"(biller_validations_total{result="1000",)" + apple + "}", 1},
      {R"(biller_validations_total{result="1001",)" + apple + "}", 1},
      {R"(biller_authentications_total{result="0"})", 1},
      {"biller_validation_duration_seconds_count{" + apple + "}", 4},
      {"biller_store_request_duration_seconds_count{" + apple + "}", 5},
      {"biller_store_request_failures_total{" + apple + "}", 1},
      {"biller_db_insert_duration_seconds_count{" + apple + "}", 3},
      {"biller_db_insert_duration_seconds_count{store=\"google_play\"}", 0},
      {refusal, 1},
      {"biller_inflight_validations", 0},
      {"biller_db_queue_length", 0},
      {R"(biller_sessions{transport="tcp"})", 2},
      {R"(biller_connections{listener="tcp"})", 2},
  };
  for (const auto& [series, value] : expected) {
    EXPECT_EQ(samples.count(series) ? samples.at(series) : -1, value) << series;
  }
  const auto build_info = samples.lower_bound("biller_build_info{version=\"");
  ASSERT_NE(build_info, samples.end());
  EXPECT_EQ(build_info->first.rfind("biller_build_info{version=\"", 0), 0u);
  EXPECT_EQ(build_info->second, 1);
}

TEST(OperationsProcessTest, NotifiesSystemdReopensLogsOnHangupAndReadsThePasswordFile) {
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
  // The password comes from the file alone.
  BillerProcess biller(BillerOptions{.flags = {"--mysql_pw=wrong", "--mysql_pw_file=" + dir + "/pw"}});
  ::unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(biller.running()) << biller.Log();
  EXPECT_EQ(next_notification(), "READY=1");

  ASSERT_GT(biller.pid(), 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(::kill(biller.pid(), SIGHUP), 0);
  EXPECT_TRUE(biller.WaitForLog("log files reopened"));
  EXPECT_TRUE(biller.running());

  EXPECT_EQ(biller.Stop(), 0);
  EXPECT_EQ(next_notification(), "STOPPING=1");
  ::close(receiver);
  std::filesystem::remove_all(dir);
}

std::string RunServer(const std::string& arguments) {
  std::string out;
  FILE* pipe = ::popen((std::string(BILLER_SERVER_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  EXPECT_EQ(::pclose(pipe), 0) << arguments;
  return out;
}

TEST(OperationsProcessTest, VersionAndHelp) {
  EXPECT_TRUE(std::regex_match(RunServer("--version"),
                               std::regex(R"(biller-server \d+\.\d+\.\d+(\+g[0-9a-f]+)?\n)")));
  const std::string help = RunServer("--help");
  EXPECT_LT(help.find("--http_listen_port"), help.find("--logtostderr")) << help;
  EXPECT_NE(help.find("--mysql_pw_file"), std::string::npos);
}

}  // namespace
}  // namespace tvx::testing
