// How the MariaDB receipt database reads a procedure's answer. The statements
// themselves are checked by the store flow test and against the real server
// by the database test.
#include "src/database_mariadb.h"

#include <gtest/gtest.h>

#include "framework/mariadb.h"

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

TEST(InsertAnswerTest, OnlyZeroIsNewAndOnlyOneIsADuplicate) {
  using DB = BillerDatabase;
  const struct {
    std::shared_ptr<ResultSets> answer;
    Mariadb::Error error;
    DB::InsertReceiptResult result;
  } cases[] = {
      {Answer("0"), {}, DB::kInsertSucceeded},
      {Answer("1"), {}, DB::kInsertDuplicated},
      {Answer("2"), {}, DB::kInsertFailed},
      // Neither a NULL nor a text may pass for "new".
      {Answer(std::nullopt), {}, DB::kInsertFailed},
      {Answer("new"), {}, DB::kInsertFailed},
      {std::make_shared<ResultSets>(), {}, DB::kInsertFailed},
      {Answer("0", false), {}, DB::kInsertFailed},
      {nullptr, {1305, "PROCEDURE x does not exist", "42000"}, DB::kInsertFailed},
  };
  for (const auto& c : cases) EXPECT_EQ(InterpretInsertAnswer(c.answer, c.error, "Q"), c.result);
}

}  // namespace
}  // namespace tvx
