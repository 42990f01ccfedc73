#include "src/database_statements.h"

#include <gtest/gtest.h>

#include "framework/mariadb.h"
#include "src/database_mariadb.h"
#include "tests/support/log_capture.h"

namespace tvx {
namespace {

// Marks what went through escaping, so that a text left unescaped (or a
// number escaped as text) shows.
std::string Mark(const std::string& text) { return "<" + text + ">"; }
std::string Plain(const std::string& text) { return text; }

const ReceiptOwner kOwner{"c", "p", "g"};

TEST(StatementTest, GooglePlayStatementsEndWithASpace) {
  GooglePlayReceiptRow row{{"client", "player", "guest"}, "com.pkg", "gem", "token",
                           "androidpublisher#productPurchase", "1500000000000", "UTC", 0, 1,
                           "GPA.1", 1, -1, ""};
  EXPECT_EQ(ComposeGooglePlay2Statement(Mark, row),
            "CALL sp_insert_receipt_google_play2('<client>', '<player>', '<guest>', "
            "'<com.pkg>', '<gem>', '<token>', '<androidpublisher#productPurchase>', "
            "'<1500000000000>', '<UTC>', 0, 1, '<GPA.1>', 1, -1, '<>') ");
  row = {kOwner, "pkg", "gem", "t", "k", "1", "UTC", 2, 0, "o", 1, 1, "not stored"};
  EXPECT_EQ(ComposeGooglePlayStatement(Plain, row),
            "CALL sp_insert_receipt_google_play('c', 'p', 'g', 'pkg', 'gem', 't', 'k', '1', "
            "'UTC', 2, 0, 'o') ");
}

TEST(StatementTest, AppleStatementStripsPaddingAndWritesBareNumbers) {
  const AppleAppStoreReceiptRow row{kOwner,  true,    "MIIabc==", "gem", -5, "1000", "999",
                                    "2024-01-02 03:04:05", "Etc/GMT", "2024-01-01 00:00:00",
                                    "Etc/GMT"};
  EXPECT_EQ(ComposeAppleAppStoreStatement(Mark, row),
            "CALL sp_insert_receipt_apple_appstore('<c>', '<p>', '<g>', TRUE, '<MIIabc>', "
            "'<gem>', -5, '<1000>', '<999>', '<2024-01-02 03:04:05>', '<Etc/GMT>', "
            "'<2024-01-01 00:00:00>', '<Etc/GMT>')");
  EXPECT_EQ(StripTrailingPadding("a=b="), "a=b");
  EXPECT_EQ(StripTrailingPadding("a=b"), "a=b");
  EXPECT_EQ(StripTrailingPadding("==="), "");
  EXPECT_EQ(StripTrailingPadding(""), "");
}

TEST(StatementTest, TStoreListsAreJoinedInOneLiteral) {
  EXPECT_EQ(ComposeTStoreStatement(Mark, {kOwner, false, "tx", "app", "sig", {}, {"a", "b", "c"}}),
            "CALL sp_insert_receipt_tstore('<c>', '<p>', '<g>', FALSE, '<tx>', '<app>', "
            "'<sig>', '<>', '<a, b, c>')");
  // An element cannot end the literal early: the joined text is escaped.
  EXPECT_EQ(ComposeTStoreStatement(Mark, {kOwner, true, "tx", "app", "sig", {"x'y"}, {}}),
            "CALL sp_insert_receipt_tstore('<c>', '<p>', '<g>', TRUE, '<tx>', '<app>', "
            "'<sig>', '<x'y>', '<>')");
}

TEST(StatementTest, PlayStationNumbersAreQuoted) {
  EXPECT_EQ(ComposeP4StoreStatement(Mark, {kOwner, 7, "ent", "code", "sp-int", -1, INT64_MAX, 0}),
            "CALL sp_insert_receipt_p4store('<c>', '<p>', '<g>', '7', '<ent>', '<code>', "
            "'<sp-int>', '-1', '9223372036854775807', '0')");
}

TEST(StatementTest, OneStoreQuotesOnlyThePurchaseTime) {
  EXPECT_EQ(ComposeOneStoreStatement(
                Mark, {kOwner, true, "pid", "pkg", "gem", 0, -2, 1700000000000, ""}),
            "CALL sp_insert_receipt_one_store('<c>', '<p>', '<g>', TRUE, '<pid>', '<pkg>', "
            "'<gem>', 0, -2, '1700000000000', '<>') ");
}

// The answer of a procedure as the database client hands it over.
std::shared_ptr<ResultSets> Answer(std::optional<std::string> value) {
  auto result_sets = std::make_shared<ResultSets>();
  result_sets->AddResultSet(1);
  result_sets->AddRow({std::move(value)});
  return result_sets;
}

TEST(InsertAnswerTest, MapsTheProcedureAnswer) {
  const Mariadb::Error ok;
  testing::LogCapture log;
  EXPECT_EQ(InterpretInsertAnswer(Answer("0"), ok, "Q0"), BillerDatabase::kInsertSucceeded);
  EXPECT_EQ(InterpretInsertAnswer(Answer("1"), ok, "Q1"), BillerDatabase::kInsertDuplicated);
  EXPECT_EQ(log.Count(google::GLOG_WARNING, "duplicated receipt: query: Q1"), 1);
  EXPECT_EQ(InterpretInsertAnswer(Answer("2"), ok, "Q2"), BillerDatabase::kInsertFailed);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "unexpected result value: 2: query: Q2"), 1);
  // Neither a NULL nor a text may pass for "new".
  EXPECT_EQ(InterpretInsertAnswer(Answer(std::nullopt), ok, "Q"), BillerDatabase::kInsertFailed);
  EXPECT_EQ(InterpretInsertAnswer(Answer("new"), ok, "Q"), BillerDatabase::kInsertFailed);
}

TEST(InsertAnswerTest, NoAnswerOrAnErrorIsAFailure) {
  const Mariadb::Error ok;
  testing::LogCapture log;
  EXPECT_EQ(InterpretInsertAnswer(std::make_shared<ResultSets>(), ok, "Q3"),
            BillerDatabase::kInsertFailed);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "no return value: query: Q3"), 1);
  auto no_rows = std::make_shared<ResultSets>();
  no_rows->AddResultSet(1);
  EXPECT_EQ(InterpretInsertAnswer(no_rows, ok, "Q"), BillerDatabase::kInsertFailed);

  const Mariadb::Error error{1305, "PROCEDURE x does not exist", "42000"};
  EXPECT_EQ(InterpretInsertAnswer(nullptr, error, "Q"), BillerDatabase::kInsertFailed);
  EXPECT_EQ(log.Count(google::GLOG_ERROR,
                      "Failed to execute query: Error: message[PROCEDURE x does not exist], "
                      "error code[1305], sql state[42000]"),
            1);
}

}  // namespace
}  // namespace tvx
