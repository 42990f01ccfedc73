// Start-up and shut-down of biller-server as a process: option checks, the
// configuration record, arguments file, signals.
#include <gtest/gtest.h>

#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

// A start-up condition that cannot be met ends the process non-zero with a
// line naming what to fix, and no stack trace.
TEST(StartupTest, UnusableOptionsEndTheProcessNamingTheProblem) {
  BillerProcess holder({.flags = {"--bypass=true"}});  // its TCP port is taken
  const int busy_port = holder.tcp_port();
  const auto flags = [](std::vector<std::string> flags) {
    return BillerOptions{.flags = std::move(flags), .with_database = false};
  };
  const auto arguments = [](std::string json) {
    return BillerOptions{.with_database = false, .arguments_json = std::move(json)};
  };
  const std::pair<BillerOptions, std::string> cases[] = {
      {flags({"--protobuf_listen_port=65616"}),
       "--protobuf_listen_port=65616 is not a port (0..65535)"},
      {flags({"--http_listen_port=-1"}), "--http_listen_port=-1 is not a port (0..65535)"},
      {flags({"--tcp_max_connections=-1"}), "--tcp_max_connections=-1 must not be negative"},
      {flags({"--bind_address=localhost"}), "--bind_address=localhost is not an IP address"},
      {flags({"--mysql_pw_file=/nonexistent/pw"}), "--mysql_pw_file: cannot open /nonexistent/pw"},
      {{.flags = {"--export_db_schema_to_file=/tmp/never-written.sql"}},
       "If the export_db_schema_to_file is not empty, the "
       "--biller_use_db_auto_schema_generation option must be false."},
      {{.flags = {"--mysql_db_character_set="}}, "Wrong the mysql_db_character_set option"},
      {{.flags = {"--protobuf_listen_port=" + std::to_string(busy_port), "--api_service_port=0"}},
       "failed to start tcp server"},
      {{.flags = {"--api_service_port=" + std::to_string(busy_port)}},
       "cannot start the api service on port"},
      {{.flags = {"--http_listen_port=" + std::to_string(busy_port)}},
       "failed to start http server\nbiller-server: the HTTP listener could not open (see the "
       "line before): choose another --http_listen_port"},
      {{.flags = {"--mysql_server_url=127.0.0.1:" + std::to_string(FreePort())}},
       "biller-server: the database could not be reached (see the line before): check "
       "--mysql_server_url"},
      // A login the database refuses; the password is not logged.
      {{.flags = {"--mysql_pw=hunter2-secret"}}, "the database could not be reached"},
      {{.flags = {"--resource_root=/nonexistent"}},
       "Failed to open '/nonexistent/sql/sql_initialize_schema.sql'"},
      {{.arguments_json = "not json"}, "arguments.json"},
      {{.arguments_json = "[1, 2]"}, "arguments.json"},
      {arguments(R"({"p4_platform": {"environment": "staging", "client_id": "c", "secret": "s"}})"),
       "install failed"},
      {arguments(R"({"store_endpoints": {"google_oauth_token_url": 5}})"),
       "store_endpoints: \"google_oauth_token_url\" must be a string"},
      {arguments(R"({"apple_app_store_server_api": {"issuer_id": "i", "key_id": "k",
          "bundle_id": "b", "private_key": "not a key", "root_certificates": ["x"]}})"),
       "apple_app_store_server_api: \"private_key\" must be the PEM text"},
  };
  for (const auto& [options, line] : cases) {
    const std::string log = RunUntilRefused(options);
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    for (const char* never : {"stack trace", "@ ", "hunter2-secret"}) {
      EXPECT_EQ(log.find(never), std::string::npos) << never << "\n" << log;
    }
  }
}

TEST(StartupTest, BypassModeIsAWarningAndSigtermStopsCleanlyAlsoWithoutATcpServer) {
  BillerProcess biller({.flags = {"--bypass=true", "--mysql_db_connection_count=3"}});
  ASSERT_TRUE(biller.running()) << biller.Log();
  const std::string log = biller.Log();
  // glog marks warning lines with a leading W.
  const auto at = log.find("] Run as bypass mode");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log[log.rfind('\n', at) + 1], 'W');
  for (const std::string& line :
       {"configuration\nlisten_port=" + std::to_string(biller.tcp_port()) + "\nbypass=1\n",
        std::string("\nmysql db connection count=3\nmysql db character set=utf8")}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  TcpClient client;
  ASSERT_TRUE(client.Connect(biller.tcp_port()));
  EXPECT_EQ(biller.Stop(), std::optional<int>(0)) << biller.Log();
  EXPECT_NE(biller.Log().find("] Quit"), std::string::npos);
  EXPECT_TRUE(client.WaitForClose());

  BillerProcess without_tcp(
      {.flags = {"--bypass=true", "--protobuf_listen_port=0"}, .wait_until_listening = false});
  ASSERT_TRUE(without_tcp.WaitForLog("configuration"));
  EXPECT_FALSE(without_tcp.WaitForExit(500ms).has_value()) << without_tcp.Log();
  EXPECT_EQ(without_tcp.Stop(), std::optional<int>(0));
}

}  // namespace
}  // namespace tvx::testing
