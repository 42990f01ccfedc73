// The receipt database against the test MariaDB (the shipped procedures, the
// mapping of their answers, exact storage of awkward texts, races).
#include "src/database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

#include "framework/mariadb.h"
#include "src/database_mariadb.h"
#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

using Result = BillerDatabase::InsertReceiptResult;
using Callback = BillerDatabase::InsertReceiptCallback;

const ReceiptOwner kOwner{"client", "player", "guest"};

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestDatabase::FromEnvironment().available()) {
      GTEST_SKIP() << "BILLER_TEST_MYSQL_URL is not set";
    }
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
    reader_ = ConnectForTests(server.url, server.user, server.password, scratch_->name(),
                              character_set);
    ASSERT_NE(reader_, nullptr);
  }

  std::string Value(const std::string& query) { return QueryValue(*reader_, query); }
  void Run(const std::string& statement) {
    Mariadb::Error error;
    reader_->ExecuteQuerySync(statement, &error);
    ASSERT_FALSE(error) << error;
  }

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
  std::shared_ptr<Mariadb> reader_;
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
                     {kOwner, "p", "gem", token, "kind", "1", "UTC", 0, 0, "GPA.2", 0, 0, ""}), result);
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
  EXPECT_EQ(GooglePlay(injection), BillerDatabase::kInsertDuplicated);
  EXPECT_EQ(Value("SELECT COUNT(*) FROM tb_receipt_tstore"), "0");

  // Only the trailing padding of an Apple receipt goes.
  ASSERT_EQ(Apple("t-1", "a'=b=="), BillerDatabase::kInsertSucceeded);
  EXPECT_EQ(Value("SELECT receipt_data FROM tb_receipt_apple_appstore2"), "a'=b");

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

TEST_F(DatabaseTest, UnexpectedProcedureAnswersAreFailures) {
  const int64_t timed_before = TimedInserts(*db_);
  Run("CREATE OR REPLACE PROCEDURE sp_insert_receipt_tstore(a TEXT, b TEXT, c TEXT, d BOOL, "
      "e TEXT, f TEXT, g TEXT, h TEXT, i TEXT) SELECT 2");
  EXPECT_EQ(TStore("tx"), BillerDatabase::kInsertFailed);
  Run("DROP PROCEDURE sp_insert_receipt_tstore");
  EXPECT_EQ(TStore("tx"), BillerDatabase::kInsertFailed);
  EXPECT_EQ(TimedInserts(*db_) - timed_before, 2);
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

TEST(InsertAnswerTest, OnlyZeroIsNewAndOnlyOneIsADuplicate) {
  auto answer = [](std::optional<std::string> value, bool rows = true) {
    auto result_sets = std::make_shared<ResultSets>();
    result_sets->AddResultSet(1);
    if (rows) result_sets->AddRow({std::move(value)});
    return result_sets;
  };
  const std::tuple<std::shared_ptr<ResultSets>, Mariadb::Error, Result> cases[] = {
      {answer("0"), {}, BillerDatabase::kInsertSucceeded},
      {answer("1"), {}, BillerDatabase::kInsertDuplicated},
      {answer("2"), {}, BillerDatabase::kInsertFailed},
      {answer(std::nullopt), {}, BillerDatabase::kInsertFailed},
      {answer("new"), {}, BillerDatabase::kInsertFailed},
      {std::make_shared<ResultSets>(), {}, BillerDatabase::kInsertFailed},
      {answer("0", false), {}, BillerDatabase::kInsertFailed},
      {nullptr, {1305, "PROCEDURE x does not exist", "42000"}, BillerDatabase::kInsertFailed},
  };
  for (const auto& [sets, error, result] : cases) {
    EXPECT_EQ(InterpretInsertAnswer(sets, error, "Q"), result);
  }
}

}  // namespace
}  // namespace tvx::testing
