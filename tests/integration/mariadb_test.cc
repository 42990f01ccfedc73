// The framework's MariaDB client against the test server: results,
// shut-down, lost connections and a restarted server.
#include "framework/mariadb.h"

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

using std::chrono::milliseconds;

class MariadbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = TestDatabase::FromEnvironment();
    if (!server_.available()) GTEST_SKIP() << "BILLER_TEST_MYSQL_URL is not set";
    client_ = ConnectForTests(server_.url, server_.user, server_.password, "", "utf8", 1);
    admin_ = ConnectForTests(server_.url, server_.user, server_.password, "", "utf8", 1);
    ASSERT_NE(client_, nullptr);
    ASSERT_NE(admin_, nullptr);
  }

  TestDatabase server_;
  std::shared_ptr<Mariadb> client_;
  std::shared_ptr<Mariadb> admin_;
};

TEST_F(MariadbTest, MultiStatementTextGivesOneResultSetPerRowProducingStatement) {
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

TEST_F(MariadbTest, KilledConnectionsAreReopenedForTheNextStatement) {
  std::string id = QueryValue(*client_, "SELECT CONNECTION_ID()");
  ASSERT_EQ(QueryValue(*admin_, "KILL CONNECTION " + id + "; SELECT 1"), "1");
  std::this_thread::sleep_for(milliseconds(200));
  const std::string again = QueryValue(*client_, "SELECT CONNECTION_ID()");
  EXPECT_NE(again, id);

  std::promise<Mariadb::Error> outcome;
  client_->ExecuteQuery("SELECT SLEEP(20)", [&outcome](const std::shared_ptr<ResultSets>&,
                                                       const Mariadb::Error& error) {
    outcome.set_value(error);
  });
  std::this_thread::sleep_for(milliseconds(300));
  QueryValue(*admin_, "KILL CONNECTION " + again);
  auto future = outcome.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_NE(future.get().code, 0u);
  EXPECT_EQ(QueryValue(*client_, "SELECT 7"), "7");
}

TEST_F(MariadbTest, FinalizeFailsWaitingStatementsOnceEach) {
  std::atomic<int> ok{0}, refused{0}, calls{0};
  auto count = [&](const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error) {
    ++calls;
    if (!error && result_sets) ++ok;
    if (error.code == Mariadb::kErrorNotRunning && !result_sets) ++refused;
  };
  client_->ExecuteQuery("SELECT SLEEP(0.5)", count);
  for (int i = 0; i < 5; ++i) client_->ExecuteQuery("SELECT 1", count);
  std::this_thread::sleep_for(milliseconds(100));
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

  std::atomic<int> failures{0};
  auto client = Mariadb::Create("127.0.0.1:" + std::to_string(FreePort()), "u", "p", "d", 2,
                                "utf8", true, 0, 0,
                                [&failures](const Mariadb::Error&) { ++failures; });
  ASSERT_NE(client, nullptr);
  Mariadb::Error error;
  EXPECT_FALSE(client->Initialize(&error));
  EXPECT_EQ(error.code + failures, 2003u) << error;
  EXPECT_EQ(client->ExecuteQuerySync("SELECT 1", &error), nullptr);
  EXPECT_EQ(error.code, Mariadb::kErrorNotRunning);
}

TEST(MariadbRestartTest, RestartedServerCostsOnlyTheStatementsOfTheOutage) {
  if (!PrivateMariadb::available()) GTEST_SKIP() << "no mariadbd";
  PrivateMariadb server;
  ASSERT_TRUE(server.Start());
  InitializeDatabaseModuleForTests();
  auto db = BillerDatabase::Create(server.url(), "biller", "biller", "biller", 2, "utf8");
  ASSERT_NE(db, nullptr);
  ASSERT_TRUE(db->InstallSchema(ShippedSchemaScript()));
  auto insert = [&db](const std::string& purchase_id) {
    return AwaitInsert([&](const BillerDatabase::InsertReceiptCallback& done) {
      db->InsertOneStoreReceipt({{"c", "p", "g"}, false, purchase_id, "pkg", "gem", 0, 0, 1, ""},
                                done);
    });
  };
  std::string results;
  for (const char* id : {"before", "before-2"}) results += std::to_string(insert(id));
  ASSERT_TRUE(server.Stop());
  for (const char* id : {"during", "during"}) results += std::to_string(insert(id));
  ASSERT_TRUE(server.Start());
  for (const char* id : {"after", "after-2", "before", "during"}) {
    results += std::to_string(insert(id));
  }
  EXPECT_EQ(results, "114411" "21");  // succeeded 1, duplicated 2, failed 4
}

}  // namespace
}  // namespace tvx::testing
