// Start-up and shut-down of biller-server as a process: option checks, the
// configuration record, arguments file, signals.
#include <gtest/gtest.h>

#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

BillerOptions Options(std::vector<std::string> flags) {
  BillerOptions options;
  options.flags = std::move(flags);
  return options;
}

TEST(StartupTest, ContradictingSchemaOptionsEndTheProcess) {
  auto options = Options({"--export_db_schema_to_file=/tmp/never-written.sql"});
  options.wait_until_listening = false;
  BillerProcess biller(options);
  auto status = biller.WaitForExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  EXPECT_NE(biller.Log().find("If the export_db_schema_to_file is not empty, the "
                              "--biller_use_db_auto_schema_generation option must be false."),
            std::string::npos)
      << biller.Log();
}

TEST(StartupTest, EmptyCharacterSetEndsTheProcess) {
  auto options = Options({"--mysql_db_character_set="});
  options.wait_until_listening = false;
  BillerProcess biller(options);
  auto status = biller.WaitForExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  EXPECT_NE(biller.Log().find("Wrong the mysql_db_character_set option"), std::string::npos);
}

TEST(StartupTest, LogsTheRunModeAndConfigurationWithoutThePassword) {
  // The password is wrong, so the database refuses the login later; the
  // configuration record has been written by then.
  auto options = Options({"--mysql_pw=hunter2-secret", "--mysql_db_connection_count=3"});
  options.wait_until_listening = false;
  BillerProcess biller(options);
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

TEST(StartupTest, BypassModeIsAWarning) {
  BillerProcess biller(Options({"--bypass=true"}));
  ASSERT_TRUE(biller.running()) << biller.Log();
  const std::string log = biller.Log();
  // glog marks warning lines with a leading W.
  auto at = log.find("] Run as bypass mode");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log[log.rfind('\n', at) + 1], 'W');
  EXPECT_NE(log.find("\nbypass=1\n"), std::string::npos);
}

TEST(StartupTest, SigtermStopsCleanlyWithStatusZero) {
  BillerProcess biller(Options({"--bypass=true"}));
  ASSERT_TRUE(biller.running()) << biller.Log();
  TcpClient client;
  ASSERT_TRUE(client.Connect(biller.tcp_port()));
  auto status = biller.Stop();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0) << biller.Log();
  EXPECT_NE(biller.Log().find("] Quit"), std::string::npos);
  EXPECT_TRUE(client.WaitForClose());
}

TEST(StartupTest, UnreadableArgumentsFileEndsStartUp) {
  for (const std::string text : {"not json", "[1, 2]"}) {
    auto options = Options({});
    options.arguments_json = text;
    options.wait_until_listening = false;
    BillerProcess biller(options);
    auto status = biller.WaitForExit();
    ASSERT_TRUE(status.has_value()) << text;
    EXPECT_NE(*status, 0);
    EXPECT_NE(biller.Log().find("arguments.json"), std::string::npos) << biller.Log();
  }
}

TEST(StartupTest, TcpPortInUseEndsStartUp) {
  BillerProcess first(Options({"--bypass=true", "--api_service_port=0"}));
  ASSERT_TRUE(first.running());
  auto options = Options({"--protobuf_listen_port=" + std::to_string(first.tcp_port()),
                          "--api_service_port=0"});
  options.wait_until_listening = false;
  BillerProcess second(options);
  auto status = second.WaitForExit();
  ASSERT_TRUE(status.has_value());
  EXPECT_NE(*status, 0);
  EXPECT_NE(second.Log().find("failed to start tcp server"), std::string::npos) << second.Log();
}

TEST(StartupTest, TcpPortZeroRunsWithoutATcpServer) {
  auto options = Options({"--bypass=true", "--protobuf_listen_port=0"});
  options.wait_until_listening = false;
  BillerProcess biller(options);
  ASSERT_TRUE(biller.WaitForLog("configuration"));
  EXPECT_FALSE(biller.WaitForExit(std::chrono::milliseconds(500)).has_value()) << biller.Log();
  auto status = biller.Stop();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace tvx::testing
