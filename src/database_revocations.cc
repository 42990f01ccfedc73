// The revocation statements of the receipt database: the insert procedure,
// the feed's query and the voided-purchases high-water marks.
#include <limits>

#include <glog/logging.h>

#include "src/database_mariadb.h"
#include "src/database_statements.h"

namespace tvx {
namespace {

constexpr int64_t kNoInteger = std::numeric_limits<int64_t>::min();

// The first row of the first result set, or null.
bool SeekFirstRow(const std::shared_ptr<ResultSets>& result_sets) {
  return result_sets && result_sets->SeekNextResultSet() && result_sets->SeekNextRow();
}

}  // namespace

void BillerDatabase::InsertRevocation(const RevocationRow&,
                                      const InsertRevocationCallback& callback) {
  DeliverDatabaseResult([callback] { callback(kInsertFailed, RecordedRevocation()); });
}

void BillerDatabase::ListRevocations(uint64_t, int, const RevocationListCallback& callback) {
  DeliverDatabaseResult([callback] { callback(false, {}); });
}

void BillerDatabase::LoadPollMark(const std::string&, const PollMarkCallback& callback) {
  DeliverDatabaseResult([callback] { callback(false, 0); });
}

void BillerDatabase::SavePollMark(const std::string&, int64_t, const PollMarkCallback& callback) {
  DeliverDatabaseResult([callback] { callback(false, 0); });
}

void BillerDatabaseMariadb::InsertRevocation(const RevocationRow& row,
                                             const InsertRevocationCallback& callback) {
  std::string statement = ComposeRevocationStatement(Escaper(), row);
  connection_->ExecuteQuery(
      statement, [statement, row, callback](const std::shared_ptr<ResultSets>& result_sets,
                                            const Mariadb::Error& error) {
        RecordedRevocation recorded;
        recorded.row = row;
        InsertReceiptResult result = kInsertFailed;
        if (error) {
          LOG(ERROR) << "Failed to record a revocation: " << error;
        } else if (SeekFirstRow(result_sets)) {
          const int64_t answer = result_sets->GetInt(0, kNoInteger);
          if (answer == 1) result = kInsertDuplicated;
          if (answer == 0 && result_sets->GetColumnCount() == 5) {
            result = kInsertSucceeded;
            recorded.seq = static_cast<uint64_t>(result_sets->GetInt(1, 0));
            recorded.biller_client_id = result_sets->GetString(2);
            recorded.player_id = result_sets->GetString(3);
            recorded.recorded_at_ms = result_sets->GetInt(4, 0);
          }
        }
        if (result == kInsertFailed && !error) {
          LOG(ERROR) << "Unexpected answer to a revocation insert: query: " << statement;
        }
        DeliverDatabaseResult([callback, result, recorded] { callback(result, recorded); });
      });
}

void BillerDatabaseMariadb::ListRevocations(uint64_t since, int limit,
                                            const RevocationListCallback& callback) {
  connection_->ExecuteQuery(
      ComposeRevocationListStatement(since, limit),
      [callback](const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error) {
        std::vector<RecordedRevocation> list;
        const bool ok = !error && result_sets && result_sets->SeekNextResultSet();
        if (error) LOG(ERROR) << "Failed to read revocations: " << error;
        while (ok && result_sets->SeekNextRow()) {
          RecordedRevocation entry;
          entry.seq = static_cast<uint64_t>(result_sets->GetInt(0, 0));
          entry.row.store = result_sets->GetString(1);
          entry.row.purchase_id = result_sets->GetString(2);
          entry.row.revoked_at_ms = result_sets->GetInt(3, 0);
          entry.row.reason = result_sets->GetString(4);
          entry.row.source = result_sets->GetString(5);
          entry.biller_client_id = result_sets->GetString(6);
          entry.player_id = result_sets->GetString(7);
          entry.recorded_at_ms = result_sets->GetInt(8, 0);
          list.push_back(std::move(entry));
        }
        DeliverDatabaseResult([callback, ok, list = std::move(list)] { callback(ok, list); });
      });
}

void BillerDatabaseMariadb::LoadPollMark(const std::string& package_name,
                                         const PollMarkCallback& callback) {
  connection_->ExecuteQuery(
      "SELECT high_water_ms FROM tb_revocation_poll WHERE package_name = '" +
          connection_->Escape(package_name) + "'",
      [callback](const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error) {
        if (error) LOG(ERROR) << "Failed to read a voided-purchases mark: " << error;
        const bool ok = !error && result_sets;
        const int64_t mark = ok && SeekFirstRow(result_sets) ? result_sets->GetInt(0, 0) : 0;
        DeliverDatabaseResult([callback, ok, mark] { callback(ok, mark); });
      });
}

void BillerDatabaseMariadb::SavePollMark(const std::string& package_name, int64_t high_water_ms,
                                         const PollMarkCallback& callback) {
  connection_->ExecuteQuery(
      "INSERT INTO tb_revocation_poll (package_name, high_water_ms) VALUES ('" +
          connection_->Escape(package_name) + "', " + std::to_string(high_water_ms) +
          ") ON DUPLICATE KEY UPDATE high_water_ms = GREATEST(high_water_ms, "
          "VALUES(high_water_ms))",
      [callback, high_water_ms](const std::shared_ptr<ResultSets>&, const Mariadb::Error& error) {
        if (error) LOG(ERROR) << "Failed to keep a voided-purchases mark: " << error;
        const bool ok = !error;
        DeliverDatabaseResult([callback, ok, high_water_ms] { callback(ok, high_water_ms); });
      });
}

}  // namespace tvx
