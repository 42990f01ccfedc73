// How the MariaDB receipt database reads a procedure's answer, and what it
// logs when the answer is not one. The statements themselves are checked by
// the store flow test and against the real server by the database test.
#include "src/database_mariadb.h"

#include <gtest/gtest.h>

#include "framework/mariadb.h"
#include "tests/support/log_capture.h"

namespace tvx {
namespace {

// The answer of a procedure as the database client hands it over: one row
// of `value` (no row when `rows` is false).
std::shared_ptr<ResultSets> Answer(std::optional<std::string> value, bool rows = true) {
  auto result_sets = std::make_shared<ResultSets>();
  result_sets->AddResultSet(1);
  if (rows) result_sets->AddRow({std::move(value)});
  return result_sets;
}

TEST(InsertAnswerTest, MapsTheProcedureAnswerAndLogsEveryOtherOutcome) {
  using DB = BillerDatabase;
  const struct {
    std::shared_ptr<ResultSets> answer;
    Mariadb::Error error;
    DB::InsertReceiptResult result;
    google::LogSeverity severity;
    std::string line;  // "" when nothing is logged
  } cases[] = {
      {Answer("0"), {}, DB::kInsertSucceeded, google::GLOG_ERROR, ""},
      {Answer("1"), {}, DB::kInsertDuplicated, google::GLOG_WARNING, "duplicated receipt: query: Q"},
      {Answer("2"), {}, DB::kInsertFailed, google::GLOG_ERROR, "unexpected result value: 2: query: Q"},
      // Neither a NULL nor a text may pass for "new".
      {Answer(std::nullopt), {}, DB::kInsertFailed, google::GLOG_ERROR, "unexpected result value: NULL"},
      {Answer("new"), {}, DB::kInsertFailed, google::GLOG_ERROR, "unexpected result value: new"},
      {std::make_shared<ResultSets>(), {}, DB::kInsertFailed, google::GLOG_ERROR,
       "no return value: query: Q"},
      {Answer("0", false), {}, DB::kInsertFailed, google::GLOG_ERROR, "no return value: query: Q"},
      {nullptr, {1305, "PROCEDURE x does not exist", "42000"}, DB::kInsertFailed,
       google::GLOG_ERROR,
       "Failed to execute query: Error: message[PROCEDURE x does not exist], error code[1305], "
       "sql state[42000]"},
  };
  for (const auto& c : cases) {
    testing::LogCapture log;
    EXPECT_EQ(InterpretInsertAnswer(c.answer, c.error, "Q"), c.result) << c.line;
    EXPECT_EQ(log.Count(c.severity, c.line), c.line.empty() ? 0 : 1) << c.line;
  }
}

}  // namespace
}  // namespace tvx
