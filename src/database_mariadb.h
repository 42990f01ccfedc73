// BillerDatabaseMariadb: the receipt database on the framework's Mariadb
// client. Each insert runs its store's stored procedure as one CALL
// statement (database_statements.h) and maps the procedure's answer.
#ifndef SRC_DATABASE_MARIADB_H_
#define SRC_DATABASE_MARIADB_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "framework/json.h"
#include "framework/mariadb.h"
#include "src/database.h"
#include "src/database_statements.h"

namespace tvx {

class BillerDatabaseMariadb : public BillerDatabase {
 public:
  // `connection` must be initialised.
  explicit BillerDatabaseMariadb(std::shared_ptr<Mariadb> connection);
  ~BillerDatabaseMariadb() override;  // finalises the client

  bool InstallSchema(const std::string& script) override;
  void ValidateSchema() override;

  void InsertGooglePlayReceipt(const GooglePlayReceiptRow& row,
                               const InsertReceiptCallback& callback) override;
  void InsertGooglePlayReceipt2(const GooglePlayReceiptRow& row,
                                const InsertReceiptCallback& callback) override;
  void InsertAppleAppStoreReceipt(const AppleAppStoreReceiptRow& row,
                                  const InsertReceiptCallback& callback) override;
  void InsertTStoreReceipt(const TStoreReceiptRow& row,
                           const InsertReceiptCallback& callback) override;
  void InsertP4StoreReceipt(const P4StoreReceiptRow& row,
                            const InsertReceiptCallback& callback) override;
  void InsertOneStoreReceipt(const OneStoreReceiptRow& row,
                             const InsertReceiptCallback& callback) override;

  void InsertRevocation(const RevocationRow& row,
                        const InsertRevocationCallback& callback) override;
  void ListRevocations(uint64_t since, int limit,
                       const RevocationListCallback& callback) override;
  void LoadPollMark(const std::string& package_name, const PollMarkCallback& callback) override;
  void SavePollMark(const std::string& package_name, int64_t high_water_ms,
                    const PollMarkCallback& callback) override;

  void GetDatabaseProfiling(Json* out) override;

  // The completion of every insert, on a Mariadb pool thread: records the
  // elapsed time, maps the answer and hands the result to the invoker.
  static void ExecInsertReceiptQuery(const std::shared_ptr<ResultSets>& result_sets,
                                     const Mariadb::Error& error, const std::string& statement,
                                     const InsertReceiptCallback& callback, int64_t start_time);

 private:
  void Execute(std::string statement, const InsertReceiptCallback& callback);
  // Escapes a text for the statements of this connection.
  SqlEscaper Escaper() const;

  std::shared_ptr<Mariadb> connection_;
};

// The result of one insert's answer: the procedure's first column, 0 new and
// 1 duplicate; anything else, no row or an error is a failure. Logs as the
// insert completion does.
// Runs `deliver` through the callback invoker of Initialize, as insert
// results are delivered.
void DeliverDatabaseResult(std::function<void()> deliver);

BillerDatabase::InsertReceiptResult InterpretInsertAnswer(
    const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error,
    const std::string& statement);

}  // namespace tvx

#endif  // SRC_DATABASE_MARIADB_H_
