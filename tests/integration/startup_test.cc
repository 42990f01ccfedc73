// Start-up of biller-server as a process: option checks, the listeners' TLS
// files among them; and around the receipt schema: its installation, check
// and refusals, the export file and the script resource.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "src/mysql_schema.h"
#include "tests/support/biller_process.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

bool Contains(const std::string& log, const std::string& text) {
  return log.find(text) != std::string::npos;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestDatabase::FromEnvironment().available()) GTEST_SKIP() << "no BILLER_TEST_MYSQL_URL";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A biller on `db` (not the harness's own scratch database); with
  // `validate_only`, one that does not install the schema.
  static BillerOptions On(const ScratchDatabase& db, std::vector<std::string> flags,
                          bool validate_only = false) {
    const auto& server = db.server();
    flags.insert(flags.begin(), {"--mysql_server_url=" + server.url, "--mysql_id=" + server.user,
                                 "--mysql_pw=" + server.password, "--mysql_db_name=" + db.name()});
    std::erase(flags, "");
    if (validate_only) flags.push_back("--biller_use_db_auto_schema_generation=false");
    return {.flags = flags, .with_database = false};
  }

  // --resource_root for a schema script that is `text`.
  std::string ResourceRoot(const std::string& text) {
    const std::string root = dir_ + "/" + std::to_string(roots_++);
    std::filesystem::create_directories(root + "/sql");
    std::ofstream(root + kSchemaScriptPath, std::ios::binary) << text;
    return "--resource_root=" + root;
  }

  const std::string dir_ = ::testing::TempDir() + "/schema-" + std::to_string(::getpid());
  int roots_ = 0;
};

// A start-up condition that cannot be met ends the process non-zero with a
// line naming what to fix, and no stack trace.
TEST_F(StartupTest, UnusableOptionsEndTheProcessNamingTheProblem) {
  BillerProcess holder({.flags = {"--bypass=true"}});  // its TCP port is taken
  const int busy_port = holder.tcp_port();
  const auto flags = [](std::vector<std::string> flags) {
    return BillerOptions{.flags = std::move(flags), .with_database = false};
  };
  std::filesystem::create_directories(dir_);
  const TestPki pki = MakeTestPki(dir_);
  const std::string cert = "--tls_cert_file=" + pki.server_cert;
  const std::string key = "--tls_key_file=" + pki.server_key;
  const std::pair<BillerOptions, std::string> cases[] = {
      {flags({"--protobuf_listen_port=65616"}),
       "--protobuf_listen_port=65616 is not a port (0..65535)"},
      {flags({"--http_listen_port=-1"}), "--http_listen_port=-1 is not a port (0..65535)"},
      {flags({"--tcp_max_connections=-1"}), "--tcp_max_connections=-1 must not be negative"},
      {flags({"--bind_address=localhost"}), "--bind_address=localhost is not an IP address"},
      {flags({"--mysql_pw_file=/nonexistent/pw"}), "--mysql_pw_file: cannot open /nonexistent/pw"},
      {flags({cert}), "--tls_cert_file is set without --tls_key_file"},
      {flags({key}), "--tls_key_file is set without --tls_cert_file"},
      {flags({"--tls_cert_file=/nonexistent", key}), "--tls_cert_file=/nonexistent: cannot load"},
      {flags({cert, "--tls_key_file=" + pki.client_key}), "--tls_key_file=" + pki.client_key},
      {flags({cert, key, "--tls_client_ca_file=/nonexistent"}),
       "--tls_client_ca_file=/nonexistent"},
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
      // The password is not logged.
      {{.flags = {"--mysql_server_url=127.0.0.1:" + std::to_string(FreePort()),
                  "--mysql_pw=hunter2-secret"}},
       "the database could not be reached (see the line before): check --mysql_server_url"},
      {{.flags = {"--resource_root=/nonexistent"}},
       "Failed to open '/nonexistent/sql/sql_initialize_schema.sql'"},
      {{.flags = {ResourceRoot(" \n\t\n ")}}, "Assert failed: ! init_schema_script.empty()"},
      // The logged script shows the placeholder replaced: "utf8" asks for the
      // four-byte set.
      {{.flags = {ResourceRoot("CREATE TABLE [CHARACTER_SET] (")}},
       ", script: CREATE TABLE utf8mb4 ("},
      {{.arguments_json = "not json"}, "arguments.json"},
      {{.arguments_json = "[1, 2]"}, "arguments.json"},
      {{.arguments_json =
            R"({"p4_platform": {"environment": "staging", "client_id": "c", "secret": "s"}})"},
       "install failed"},
      {{.arguments_json = R"({"store_endpoints": {"google_oauth_token_url": 5}})"},
       "store_endpoints: \"google_oauth_token_url\" must be a string"},
      {{.arguments_json = R"({"apple_app_store_server_api": {"issuer_id": "i", "key_id": "k",
          "bundle_id": "b", "private_key": "not a key", "root_certificates": ["x"]}})"},
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

// The script runs only when it differs from the one applied last or when the
// schema lacks a piece; otherwise a start runs no DDL. Receipts stay.
TEST_F(StartupTest, ScriptRunsOnlyWhenChangedOrSomethingIsMissing) {
  ScratchDatabase db;
  auto sql = [&](const std::string& text) { return RunSql(db.server(), db.name(), text); };
  {
    // Two billers at once on a new database both start.
    auto other =
        std::async(std::launch::async, [&] { return BillerProcess(On(db, {})).running(); });
    BillerProcess biller(On(db, {}));
    EXPECT_TRUE(biller.running() && other.get()) << biller.Log();
  }
  ASSERT_TRUE(sql("CALL sp_insert_receipt_one_store('c', 'p', 'g', FALSE, 'kept', 'pkg', "
                  "'gem', 0, 0, '1', '')"));
  const std::string changed = ResourceRoot(ShippedSchemaScript() + "\n-- changed\n");
  const std::tuple<std::string, std::string, bool> starts[] = {  // SQL before, flag, skipped
      {"", "", true},
      {"DROP PROCEDURE sp_insert_receipt_tstore", "", false},
      {"", "", true},
      {"", changed, false},
      {"", changed, true},
      {"DELETE FROM tb_biller_schema_script", changed, false},
  };
  for (const auto& [before, flag, skipped] : starts) {
    SCOPED_TRACE(before + flag);
    ASSERT_TRUE(before.empty() || sql(before));
    BillerProcess biller(On(db, {flag}));
    ASSERT_TRUE(biller.running()) << biller.Log();
    EXPECT_EQ(Contains(biller.Log(), "Sql schema is current"), skipped);
  }
  EXPECT_EQ(sql("SELECT purchase_id FROM tb_receipt_one_store"), "kept\n");
}

// A biller that does not install the schema, on the schema as an
// administrator installed it (from the export text) and then changed it.
TEST_F(StartupTest, ValidationRefusesMissingPiecesAndUnmigratedOlderTables) {
  auto install = [](const ScratchDatabase& db) {
    return RunSql(db.server(), db.name(),
                  ComposeSchemaExport(db.server().url, db.name(), ShippedSchemaScript()));
  };
  std::vector<std::pair<std::string, std::string>> cases = {  // "": the biller starts
      {"CREATE TABLE tb_receipt_google_play (id INT); INSERT INTO tb_receipt_google_play "
       "VALUES (1)",
       "Validation failed: old google play data is not migrated yet"},
      {"CREATE TABLE tb_receipt_apple_appstore (id INT); INSERT INTO tb_receipt_apple_appstore "
       "VALUES (1), (2)",
       "Validation failed: old appstore data is not migrated yet"},
      // Older tables pass when empty or when their rows were migrated.
      {"CREATE TABLE tb_receipt_google_play (id INT); CREATE TABLE tb_receipt_apple_appstore "
       "(id INT); INSERT INTO tb_receipt_apple_appstore VALUES (1); CALL "
       "sp_insert_receipt_apple_appstore('c', 'p', 'g', FALSE, 'r', 'gem', 1, 't', 't', 'd', "
       "'z', 'd', 'z');",
       ""},
  };
  // Each table and procedure the script makes is required, but the script's
  // own record and the first version's google play procedure (older callers).
  ScratchDatabase installed;
  ASSERT_TRUE(install(installed));
  std::istringstream pieces(RunSql(installed.server(), installed.name(),
                                   "SELECT CONCAT('DROP TABLE ', TABLE_NAME) FROM "
                                   "information_schema.TABLES WHERE TABLE_SCHEMA = database() "
                                   "AND TABLE_NAME <> 'tb_biller_schema_script' UNION ALL "
                                   "SELECT CONCAT('DROP PROCEDURE ', ROUTINE_NAME) FROM "
                                   "information_schema.ROUTINES WHERE ROUTINE_SCHEMA = database()")
                                .value_or(""));
  for (std::string drop; std::getline(pieces, drop);) {
    const bool kept = drop.ends_with(" sp_insert_receipt_google_play");
    cases.emplace_back(drop, kept ? "" : "There is no ");
  }
  EXPECT_EQ(cases.size(), 3u + 15u);
  for (const auto& [change, refusal] : cases) {
    SCOPED_TRACE(change);
    ScratchDatabase db;
    ASSERT_TRUE(install(db) && RunSql(db.server(), db.name(), change));
    const auto options = On(db, {}, true);
    const std::string log =
        refusal.empty() ? BillerProcess(options).Log() : RunUntilRefused(options);
    EXPECT_TRUE(Contains(log, refusal.empty() ? "Sql schema validated" : refusal)) << log;
  }
  // A biller that installs the schema checks it afterwards too.
  ScratchDatabase db;
  ASSERT_TRUE(RunSql(db.server(), db.name(), cases[0].first));
  const std::string log = RunUntilRefused(On(db, {}));
  EXPECT_TRUE(Contains(log, "Sql schema initialized") && Contains(log, cases[0].second)) << log;
}

// In the character set asked for.
TEST_F(StartupTest, ExportWritesTheScriptAndShutsDownWithoutInstalling) {
  ScratchDatabase db;
  const std::string path = dir_ + "/not/yet/there/schema.sql";
  auto options =
      On(db, {"--export_db_schema_to_file=" + path, "--mysql_db_character_set=utf8mb3"}, true);
  options.wait_until_listening = false;
  BillerProcess biller(options);
  EXPECT_EQ(biller.WaitForExit(), std::optional<int>(0)) << biller.Log();
  EXPECT_TRUE(Contains(biller.Log(), "The db schema has exported. Exiting.") &&
              !Contains(biller.Log(), "Sql schema validated")) << biller.Log();
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  EXPECT_EQ(text.str(),
            ComposeSchemaExport(db.server().url, db.name(), ShippedSchemaScript("utf8mb3")));
  // Nothing was installed, and checks stop at the first failure.
  const std::string log = RunUntilRefused(On(db, {}, true));
  EXPECT_TRUE(Contains(log, "There is no google play table.") && !Contains(log, "apple")) << log;
}

}  // namespace
}  // namespace tvx::testing
