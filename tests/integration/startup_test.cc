// Start-up and shut-down of biller-server as a process: option checks, the
// configuration record, arguments file, signals.
#include <gtest/gtest.h>

#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

TEST(StartupTest, UnusableOptionsEndTheProcessNamingTheProblem) {
  const struct {
    BillerOptions options;
    std::string line;
  } cases[] = {
      {{.flags = {"--export_db_schema_to_file=/tmp/never-written.sql"}},
       "If the export_db_schema_to_file is not empty, the "
       "--biller_use_db_auto_schema_generation option must be false."},
      {{.flags = {"--mysql_db_character_set="}}, "Wrong the mysql_db_character_set option"},
      {{.arguments_json = "not json"}, "arguments.json"},
      {{.arguments_json = "[1, 2]"}, "arguments.json"},
      {{.with_database = false,
        .arguments_json = R"({"p4_platform": {"environment": "staging", "client_id": "c",
                                              "secret": "s"}})"},
       "install failed"},
  };
  for (const auto& c : cases) {
    const std::string log = RunUntilRefused(c.options);
    EXPECT_NE(log.find(c.line), std::string::npos) << log;
  }
}

TEST(StartupTest, LogsTheRunModeAndConfigurationWithoutThePassword) {
  // The password is wrong, so the database refuses the login later; the
  // configuration record has been written by then.
  BillerProcess biller({.flags = {"--mysql_pw=hunter2-secret", "--mysql_db_connection_count=3"},
                        .wait_until_listening = false});
  ASSERT_TRUE(biller.WaitForLog("mysql db character set=")) << biller.Log();
  biller.WaitForExit(std::chrono::seconds(5));
  const std::string log = biller.Log();
  EXPECT_NE(log.find("] Run\n"), std::string::npos) << log;
  EXPECT_NE(log.find("configuration\nlisten_port=" + std::to_string(biller.tcp_port()) +
                     "\nbypass=0\nmysql server_url="),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\nmysql db connection count=3\nmysql db character set=utf8"),
            std::string::npos);
  EXPECT_EQ(log.find("hunter2-secret"), std::string::npos);
}

TEST(StartupTest, BypassModeIsAWarningAndSigtermStopsCleanly) {
  BillerProcess biller({.flags = {"--bypass=true"}});
  ASSERT_TRUE(biller.running()) << biller.Log();
  const std::string log = biller.Log();
  // glog marks warning lines with a leading W.
  auto at = log.find("] Run as bypass mode");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log[log.rfind('\n', at) + 1], 'W');
  EXPECT_NE(log.find("\nbypass=1\n"), std::string::npos);

  TcpClient client;
  ASSERT_TRUE(client.Connect(biller.tcp_port()));
  EXPECT_EQ(biller.Stop(), std::optional<int>(0)) << biller.Log();
  EXPECT_NE(biller.Log().find("] Quit"), std::string::npos);
  EXPECT_TRUE(client.WaitForClose());
}

TEST(StartupTest, PortsInUseEndStartUp) {
  BillerProcess first({.flags = {"--bypass=true"}});
  ASSERT_TRUE(first.running());
  ASSERT_TRUE(LoopbackConnection().Connect(first.api_port(), 10s)) << first.Log();
  std::string log =
      RunUntilRefused({.flags = {"--protobuf_listen_port=" + std::to_string(first.tcp_port()),
                                 "--api_service_port=0"}});
  EXPECT_NE(log.find("failed to start tcp server"), std::string::npos) << log;
  log = RunUntilRefused({.flags = {"--api_service_port=" + std::to_string(first.api_port())}});
  EXPECT_NE(log.find("cannot start the api service on port"), std::string::npos) << log;
}

TEST(StartupTest, TcpPortZeroRunsWithoutATcpServer) {
  BillerProcess biller(
      {.flags = {"--bypass=true", "--protobuf_listen_port=0"}, .wait_until_listening = false});
  ASSERT_TRUE(biller.WaitForLog("configuration"));
  EXPECT_FALSE(biller.WaitForExit(std::chrono::milliseconds(500)).has_value()) << biller.Log();
  EXPECT_EQ(biller.Stop(), std::optional<int>(0));
}

}  // namespace
}  // namespace tvx::testing
