// Start-up of biller-server around the receipt schema: installation, the
// schema check and its refusals, the export file and the script resource.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "src/mysql_schema.h"
#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

bool Contains(const std::string& log, const std::string& text) {
  return log.find(text) != std::string::npos;
}

class SchemaStartupTest : public ::testing::Test {
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

TEST_F(SchemaStartupTest, InstallsThenValidatesInTheCharacterSetAskedFor) {
  ScratchDatabase db;
  BillerProcess biller(On(db, {"--mysql_db_character_set=utf8mb4"}));
  const std::string log = biller.Log();
  EXPECT_NE(log.find("Sql schema validated", log.find("Sql schema initialized")),
            std::string::npos) << log;
  EXPECT_EQ(RunSql(db.server(), db.name(),
                   "SELECT TABLE_COLLATION FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                   "database() AND TABLE_NAME = 'tb_receipt_one_store'"),
            "utf8mb4_general_ci\n");
}

// The script runs only when it differs from the one applied last or when the
// schema lacks a piece; otherwise a start runs no DDL. Receipts stay.
TEST_F(SchemaStartupTest, ScriptRunsOnlyWhenChangedOrSomethingIsMissing) {
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
TEST_F(SchemaStartupTest, ValidationRefusesMissingPiecesAndUnmigratedOlderTables) {
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
}

TEST_F(SchemaStartupTest, ExportWritesTheScriptAndShutsDownWithoutInstalling) {
  ScratchDatabase db;
  const std::string path = dir_ + "/not/yet/there/schema.sql";
  auto options = On(db, {"--export_db_schema_to_file=" + path}, true);
  options.wait_until_listening = false;
  BillerProcess biller(options);
  EXPECT_EQ(biller.WaitForExit(), std::optional<int>(0)) << biller.Log();
  EXPECT_TRUE(Contains(biller.Log(), "The db schema has exported. Exiting.") &&
              !Contains(biller.Log(), "Sql schema validated")) << biller.Log();
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  EXPECT_EQ(text.str(), ComposeSchemaExport(db.server().url, db.name(), ShippedSchemaScript()));
  // Nothing was installed, and checks stop at the first failure.
  const std::string log = RunUntilRefused(On(db, {}, true));
  EXPECT_TRUE(Contains(log, "There is no google play table.") && !Contains(log, "apple")) << log;
  // The file is what an administrator runs: afterwards the biller starts
  // without installing anything.
  ASSERT_TRUE(RunSql(db.server(), "", text.str()));
  BillerProcess next(On(db, {}, true));
  EXPECT_TRUE(next.running()) << next.Log();
}

TEST_F(SchemaStartupTest, ScriptResourceProblemsEndStartUp) {
  ScratchDatabase db;
  const std::string empty = RunUntilRefused(On(db, {ResourceRoot(" \n\t\n ")}));
  EXPECT_TRUE(Contains(empty, "Assert failed: ! init_schema_script.empty()")) << empty;
  // The logged script shows the placeholder replaced: "utf8" asks for the
  // four-byte set.
  const std::string bad =
      RunUntilRefused(On(db, {ResourceRoot("CREATE TABLE [CHARACTER_SET] (")}));
  EXPECT_TRUE(Contains(bad, "failed to install sql database schema: unknown error") &&
              Contains(bad, ", script: CREATE TABLE utf8mb4 (")) << bad;
}

}  // namespace
}  // namespace tvx::testing
