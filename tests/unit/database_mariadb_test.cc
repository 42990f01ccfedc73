// How the MariaDB receipt database reads a procedure's answer. The
// statements themselves are checked by the store flow test, which records
// them, and against the real server by the database test.
#include "src/database_mariadb.h"

#include <gtest/gtest.h>

#include "framework/mariadb.h"
#include "tests/support/log_capture.h"

namespace tvx {
namespace {

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
