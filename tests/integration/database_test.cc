// The receipt database against the test MariaDB (the shipped procedures, the
// mapping of their answers, exact storage of awkward texts, races), and the
// framework's MariaDB client under it: results, shut-down, lost connections,
// a restarted server and TLS.
#include "src/database.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "framework/framework_flags.h"
#include "framework/mariadb.h"
#include "tests/support/biller_process.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

using Result = BillerDatabase::InsertReceiptResult;
using Callback = BillerDatabase::InsertReceiptCallback;

const ReceiptOwner kOwner{"client", "player", "guest"};

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestDatabase::FromEnvironment().available()) GTEST_SKIP() << "no BILLER_TEST_MYSQL_URL";
    InitializeDatabaseModuleForTests();
    Open("utf8");
  }

  // On a new scratch database unless `fresh` is false.
  void Open(const std::string& character_set, bool fresh = true) {
    db_.reset();
    if (fresh) scratch_.emplace();
    const auto& server = scratch_->server();
    db_ = BillerDatabase::Create(server.url, server.user, server.password, scratch_->name(), 8,
                                 character_set);
    ASSERT_NE(db_, nullptr);
    ASSERT_TRUE(db_->InstallSchema(ShippedSchemaScript(character_set)));
    client_ = ConnectForTests(server, scratch_->name(), character_set);
    ASSERT_NE(client_, nullptr);
  }

  std::string Value(const std::string& query) { return QueryValue(*client_, query); }

  template <typename Row>
  Result Insert(void (BillerDatabase::*insert)(const Row&, const Callback&), const Row& row) {
    return AwaitInsert([&](const Callback& done) { ((*db_).*insert)(row, done); });
  }
  Result GooglePlay(const std::string& token, const std::string& player = "player") {
    return Insert(&BillerDatabase::InsertGooglePlayReceipt2,
                  {{"client", player, "guest"}, "com.pkg", "gem", token,
                   "androidpublisher#productPurchase", "1700000000000", "UTC", 0, 0, "GPA.1", 1, 0,
                   ""});
  }
  Result Apple(const std::string& transaction_id, const std::string& receipt = "MIIab==") {
    return Insert(&BillerDatabase::InsertAppleAppStoreReceipt,
                  {kOwner, false, receipt, "gem", 3, transaction_id, "orig", "2024-01-02 03:04:05",
                   "Etc/GMT", "2024-01-01 00:00:00", "Etc/GMT"});
  }
  Result TStore(const std::string& txid, std::vector<std::string> requested = {"a", "b"}) {
    return Insert(&BillerDatabase::InsertTStoreReceipt,
                  {kOwner, true, txid, "app", "sig", std::move(requested), {}});
  }
  Result P4(const std::string& entitlement, const std::string& code) {
    return Insert(&BillerDatabase::InsertP4StoreReceipt,
                  {kOwner, -7, entitlement, code, "sp-int", 1, 5, 1});
  }

  std::optional<ScratchDatabase> scratch_;
  std::shared_ptr<BillerDatabase> db_;
  std::shared_ptr<Mariadb> client_;
};

TEST_F(DatabaseTest, AReceiptIsRecordedOnceByItsExactPurchaseIdentity) {
  const std::pair<std::string, std::function<Result(const std::string&)>> stores[] = {
      {"tb_receipt_google_play_v3", [&](const std::string& id) { return GooglePlay(id); }},
      {"tb_receipt_apple_appstore2", [&](const std::string& id) { return Apple(id); }},
      {"tb_receipt_tstore", [&](const std::string& id) { return TStore(id); }},
      {"tb_receipt_p4store", [&](const std::string& id) { return P4("ent", id); }},
      {"tb_receipt_one_store",
       [&](const std::string& id) {
         return Insert(&BillerDatabase::InsertOneStoreReceipt,
                       {kOwner, false, id, "pkg", "gem", 0, 0, 1700000000000, ""});
       }},
  };
  // Identities are exact: one differing in case or a space only is another.
  // (Results: 1 new, 2 duplicate, 4 failed.)
  for (const auto& [table, insert] : stores) {
    std::string results;
    for (const char* id : {"id-1", "id-1", "ID-1", "id-1 "}) results += std::to_string(insert(id));
    EXPECT_EQ(results + " " + Value("SELECT COUNT(*) FROM " + table), "1211 3") << table;
  }
  EXPECT_EQ(GooglePlay("id-1", "another player"), BillerDatabase::kInsertDuplicated);
  EXPECT_EQ(Apple("id-1", "other receipt"), BillerDatabase::kInsertDuplicated);
  // The first version's procedure shares the table and its identity.
  for (const auto& [token, result] : {std::pair{"id-1", BillerDatabase::kInsertDuplicated},
                                      std::pair{"id-2", BillerDatabase::kInsertSucceeded}}) {
    EXPECT_EQ(Insert(&BillerDatabase::InsertGooglePlayReceipt,
                     {kOwner, "p", "gem", token, "kind", "1", "UTC", 0, 0, "GPA.2", 0, 0, ""}),
              result);
  }
  // The pair is not just the two texts run together.
  EXPECT_EQ(P4("e", "ntid-1"), BillerDatabase::kInsertSucceeded);
  EXPECT_EQ(Value("SELECT service_label FROM tb_receipt_p4store LIMIT 1"), "-7");
}

TEST_F(DatabaseTest, TextsAreStoredExactly) {
  const std::string tricky = "it's a \\ \"quote\" 100% _x_ \n\r\t\x1a 한글 é ✓ end\\";
  const std::string injection = "x', 0, 0); DROP TABLE tb_receipt_tstore; -- ";
  ASSERT_EQ(GooglePlay(injection, tricky), BillerDatabase::kInsertSucceeded);
  EXPECT_EQ(Value("SELECT CONCAT(player_id, '|', purchase_token) FROM tb_receipt_google_play_v3"),
            tricky + "|" + injection);

  ASSERT_EQ(TStore("tx'\\", {"gem'1", "gem\\2", "한"}), BillerDatabase::kInsertSucceeded);
  EXPECT_EQ(Value("SELECT CONCAT_WS('|', requested_product_ids, verified_product_ids, txid) "
                  "FROM tb_receipt_tstore"),
            "gem'1, gem\\2, 한||tx'\\");
}

// Tables an earlier version made in the three-byte set are converted once,
// and their receipts read the same and keep their identity.
TEST_F(DatabaseTest, FourByteCharactersAreRecordedExactlyUnderTheDefaultUtf8) {
  Open("utf8mb3");
  ASSERT_EQ(GooglePlay("token 한글", "player é"), BillerDatabase::kInsertSucceeded);
  EXPECT_NE(GooglePlay("token 🎮", "player 🎮"), BillerDatabase::kInsertSucceeded);
  Open("utf8", false);
  ASSERT_EQ(GooglePlay("token 🎮", "player 🎮 𝄞"), BillerDatabase::kInsertSucceeded);
  EXPECT_EQ(GooglePlay("token 🎮") + GooglePlay("token 한글"), 2 * BillerDatabase::kInsertDuplicated);
  EXPECT_EQ(Value("SELECT GROUP_CONCAT(player_id ORDER BY id) FROM tb_receipt_google_play_v3"),
            "player é,player 🎮 𝄞");
}

int64_t TimedInserts(BillerDatabase& db) {
  Json profiling = Json::Object();
  db.GetDatabaseProfiling(&profiling);
  return profiling["all_time"]["execution_count"].GetInteger();
}

// Whatever the procedure answers but 0 (new) or 1 (duplicate) fails the
// insert, which is timed all the same.
TEST_F(DatabaseTest, UnexpectedProcedureAnswersAreFailures) {
  const int64_t timed_before = TimedInserts(*db_);
  const std::string procedure =
      "CREATE OR REPLACE PROCEDURE sp_insert_receipt_tstore(a TEXT, b TEXT, c TEXT, d BOOL, "
      "e TEXT, f TEXT, g TEXT, h TEXT, i TEXT) ";
  for (const char* body :
       {"SELECT 2", "SELECT NULL", "SELECT 'new'", "DO 0", "SELECT 0 FROM DUAL WHERE FALSE"}) {
    ASSERT_EQ(Value(procedure + body), "<no row>");
    EXPECT_EQ(TStore("tx"), BillerDatabase::kInsertFailed) << body;
  }
  ASSERT_EQ(Value("DROP PROCEDURE sp_insert_receipt_tstore"), "<no row>");
  EXPECT_EQ(TStore("tx"), BillerDatabase::kInsertFailed);
  EXPECT_EQ(TimedInserts(*db_) - timed_before, 6);
}

TEST_F(DatabaseTest, ConcurrentInsertsOfOnePurchaseGiveExactlyOneNew) {
  std::vector<Result> results(50);
  std::vector<std::thread> threads;
  for (auto& result : results) threads.emplace_back([&] { result = Apple("same"); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(results.begin(), results.end(), BillerDatabase::kInsertSucceeded), 1);
  EXPECT_EQ(std::count(results.begin(), results.end(), BillerDatabase::kInsertDuplicated), 49);
  EXPECT_EQ(Value("SELECT COUNT(*) FROM tb_receipt_apple_appstore2"), "1");
}

TEST_F(DatabaseTest, MultiStatementTextGivesOneResultSetPerRowProducingStatement) {
  Mariadb::Error error;
  auto result_sets = client_->ExecuteQuerySync(
      "SELECT 1; DO 0; SELECT NULL, 'x' UNION ALL SELECT 3, 'y'; SELECT 1 FROM DUAL WHERE 0",
      &error);
  ASSERT_NE(result_sets, nullptr) << error;
  std::string text;  // [rows] then each row's values
  while (result_sets->SeekNextResultSet()) {
    text.append("[").append(std::to_string(result_sets->GetRowCount())).append("]");
    while (result_sets->SeekNextRow()) {
      for (size_t c = 0; c < result_sets->GetColumnCount(); ++c) {
        text.append(result_sets->IsNull(c) ? "NULL" : result_sets->GetString(c)).append(",");
      }
    }
  }
  EXPECT_EQ(text, "[1]1,[2]NULL,x,3,y,[0]");
  // An error in a later statement fails the text; the connection stays usable.
  EXPECT_EQ(client_->ExecuteQuerySync("SELECT 1; SELECT * FROM no_such_db.no_table", &error),
            nullptr);
  EXPECT_EQ(std::to_string(error.code) + " " + error.sql_state, "1146 42S02") << error;
  EXPECT_EQ(QueryValue(*client_, "SELECT 5"), "5");
}

// The statement under way fails; the next one reopens the connection.
TEST_F(DatabaseTest, KilledConnectionsAreReopenedForTheNextStatement) {
  const std::string id = QueryValue(*client_, "SELECT CONNECTION_ID()");
  // Shared with the callback, which may outlive a failed test.
  auto outcome = std::make_shared<std::promise<Mariadb::Error>>();
  auto future = outcome->get_future();
  client_->ExecuteQuery("SELECT SLEEP(20)", [outcome](const std::shared_ptr<ResultSets>&,
                                                      const Mariadb::Error& error) {
    outcome->set_value(error);
  });
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(RunSql(scratch_->server(), "", "KILL CONNECTION " + id));
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_NE(future.get().code, 0u);
  EXPECT_EQ(QueryValue(*client_, "SELECT 7"), "7");
}

TEST_F(DatabaseTest, FinalizeFailsWaitingStatementsOnceEach) {
  std::atomic<int> ok{0}, refused{0}, calls{0};
  auto count = [&](const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error) {
    ++calls;
    if (!error && result_sets) ++ok;
    if (error.code == Mariadb::kErrorNotRunning && !result_sets) ++refused;
  };
  client_->ExecuteQuery("SELECT SLEEP(0.5)", count);
  for (int i = 0; i < 5; ++i) client_->ExecuteQuery("SELECT 1", count);
  std::this_thread::sleep_for(100ms);
  client_->Finalize();
  EXPECT_EQ(ok, 1);  // the one being run finishes
  EXPECT_EQ(refused, 5);
  client_->ExecuteQuery("SELECT 1", count);  // answered at once
  EXPECT_EQ(refused, 6);
  EXPECT_EQ(calls, 7);
  client_->Finalize();
}

TEST(MariadbClientTest, UnusableSettingsAreRefused) {
  for (const char* address : {"", "host:", "host:99999", "::1"}) {
    EXPECT_EQ(Mariadb::Create(address, "u", "p", "d", 1, "utf8", true, 0, 0, nullptr), nullptr)
        << address;
  }
  EXPECT_EQ(Mariadb::Create("127.0.0.1:3306", "u", "p", "d", uint64_t(-1), "utf8", true, 0, 0,
                            nullptr),
            nullptr);
}

// On a MariaDB of its own, with the receipt database's two connections.
TEST_F(DatabaseTest, RestartedServerCostsOnlyTheStatementsOfTheOutage) {
  if (!PrivateMariadb::available()) GTEST_SKIP() << "no mariadbd";
  PrivateMariadb server;
  ASSERT_TRUE(server.Start());
  db_ = BillerDatabase::Create(server.url(), "biller", "biller", "biller", 2, "utf8");
  ASSERT_NE(db_, nullptr);
  ASSERT_TRUE(db_->InstallSchema(ShippedSchemaScript()));
  std::string results;
  for (const char* id : {"before", "before-2"}) results += std::to_string(Apple(id));
  ASSERT_TRUE(server.Stop());
  for (const char* id : {"during", "during"}) results += std::to_string(Apple(id));
  ASSERT_TRUE(server.Start());
  for (const char* id : {"after", "after-2", "before", "during"}) {
    results += std::to_string(Apple(id));
  }
  EXPECT_EQ(results, "114411" "21");  // succeeded 1, duplicated 2, failed 4
}

// Over TLS, against a MariaDB of its own whose server certificate comes
// from a CA made for the test: one test, so that one MariaDB is started.
TEST(DatabaseTlsTest, ConnectionsUseTlsWhenAskedAndRefuseAServerTheCaDidNotSign) {
  if (!PrivateMariadb::available()) GTEST_SKIP() << "no mariadbd";
  const std::string dir = ::testing::TempDir() + "/db-tls-" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0700);
  const TestPki pki = MakeTestPki(dir);
  ::setenv("MARIADB_SSL_DIR", dir.c_str(), 1);
  PrivateMariadb server;
  const bool started = server.Start();
  ::unsetenv("MARIADB_SSL_DIR");
  ASSERT_TRUE(started);

  const std::string option_file = dir + "/client.cnf";
  std::ofstream(option_file) << "[client]\nssl-ca=" << pki.ca << "\nssl-verify-server-cert\n";
  // CA file, option file: neither (plain), either (encrypted), or a CA file
  // that did not sign the server's certificate (refused).
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"", "", "plain"},
      {pki.ca, "", "encrypted"},
      {"", option_file, "encrypted"},
      {pki.client_cert, "", "refused"},
  };
  const std::string kCipherQuery =
      "SELECT VARIABLE_VALUE FROM information_schema.SESSION_STATUS "
      "WHERE VARIABLE_NAME = 'Ssl_cipher'";
  for (const auto& [ca_file, options, outcome] : cases) {
    FLAGS_mysql_ssl_ca_file = ca_file;
    FLAGS_mysql_option_file = options;
    auto db = ConnectForTests({server.url(), "biller", "biller"}, "");
    const std::string cipher = db ? QueryValue(*db, kCipherQuery) : "";
    EXPECT_EQ(!db ? "refused" : cipher.empty() ? "plain" : "encrypted", outcome)
        << ca_file << options << " " << cipher;
  }
  FLAGS_mysql_ssl_ca_file.clear();
  FLAGS_mysql_option_file.clear();
}

}  // namespace
}  // namespace tvx::testing
