#include "src/database_mariadb.h"

#include <limits>

#include <glog/logging.h>

#include "framework/clock.h"
#include "framework/credential_crypto.h"
#include "src/billing_statistics.h"
#include "src/database_statements.h"
#include "src/mysql_schema.h"

namespace tvx {
namespace {

// Written once by Initialize, on the start-up thread, before any insert.
bool initialized = false;
BillerDatabase::CallbackInvoker the_cb_invoker;

}  // namespace

void BillerDatabase::Initialize(const CallbackInvoker& cb_invoker) {
  if (initialized) LOG(FATAL) << "Assert failed: ! initialized";
  if (!(!the_cb_invoker && cb_invoker)) {
    LOG(FATAL) << "Assert failed: ! the_cb_invoker && cb_invoker";
  }
  the_cb_invoker = cb_invoker;
  initialized = true;
}

std::shared_ptr<BillerDatabase> BillerDatabase::Create(const std::string& address,
                                                       const std::string& id,
                                                       const std::string& password,
                                                       const std::string& database,
                                                       uint64_t connection_count,
                                                       const std::string& character_set) {
  if (!initialized) LOG(FATAL) << "Assert failed: initialized";
  auto connection = Mariadb::Create(address, id, password, database, connection_count,
                                    character_set, Mariadb::kDefaultAutoRetryOnDeadlock,
                                    Mariadb::kDefaultClientFlags,
                                    Mariadb::kDefaultSlowQueryLoggingTime,
                                    Mariadb::kDefaultConnectionFailureHandler);
  if (!connection) return nullptr;
  Mariadb::Error error;
  if (!connection->Initialize(&error)) {
    LOG(ERROR) << "BillerDatabase::Create: " << error;
    return nullptr;
  }
  return std::make_shared<BillerDatabaseMariadb>(std::move(connection));
}

BillerDatabaseMariadb::BillerDatabaseMariadb(std::shared_ptr<Mariadb> connection)
    : connection_(std::move(connection)) {}

BillerDatabaseMariadb::~BillerDatabaseMariadb() {
  if (connection_) connection_->Finalize();
  connection_.reset();
}

bool BillerDatabaseMariadb::InstallSchema(const std::string& script) {
  if (!connection_) LOG(FATAL) << "Assert failed: connection_";
  const std::string digest = crypto::Sha256Hex(script);
  // A piece dropped by hand since is made again by the script.
  if (SchemaScriptApplied(*connection_, digest) && FindSchemaProblem(*connection_).empty()) {
    LOG(INFO) << "Sql schema is current: script sha256=" << digest;
    return true;
  }
  Mariadb::Error error;
  connection_->ExecuteQuerySync(script, &error);
  if (error) {
    LOG(ERROR) << error << ", script: " << script;
    return false;
  }
  connection_->ExecuteQuerySync(RecordSchemaScriptStatement(digest), &error);
  if (error) {
    LOG(ERROR) << error << ", recording the schema script sha256=" << digest;
    return false;
  }
  return true;
}

void BillerDatabaseMariadb::ValidateSchema() {
  if (!connection_) LOG(FATAL) << "Assert failed: connection_";
  ValidateMariadbSchema(*connection_);
}

void BillerDatabaseMariadb::Execute(std::string statement,
                                    const InsertReceiptCallback& callback) {
  const int64_t start_time = MonotonicClock::Now();
  // The handler keeps its own copy of the statement for the log lines.
  auto handler = [statement, callback, start_time](
                     const std::shared_ptr<ResultSets>& result_sets,
                     const Mariadb::Error& error) {
    ExecInsertReceiptQuery(result_sets, error, statement, callback, start_time);
  };
  RecordDatabaseStatementIssued();
  connection_->ExecuteQuery(statement, std::move(handler));
}

SqlEscaper BillerDatabaseMariadb::Escaper() const {
  return [connection = connection_](const std::string& text) { return connection->Escape(text); };
}

void BillerDatabaseMariadb::InsertGooglePlayReceipt(const GooglePlayReceiptRow& row,
                                                    const InsertReceiptCallback& callback) {
  Execute(ComposeGooglePlayStatement(Escaper(), row), callback);
}

void BillerDatabaseMariadb::InsertGooglePlayReceipt2(const GooglePlayReceiptRow& row,
                                                     const InsertReceiptCallback& callback) {
  Execute(ComposeGooglePlay2Statement(Escaper(), row), callback);
}

void BillerDatabaseMariadb::InsertAppleAppStoreReceipt(const AppleAppStoreReceiptRow& row,
                                                       const InsertReceiptCallback& callback) {
  Execute(ComposeAppleAppStoreStatement(Escaper(), row), callback);
}

void BillerDatabaseMariadb::InsertTStoreReceipt(const TStoreReceiptRow& row,
                                                const InsertReceiptCallback& callback) {
  Execute(ComposeTStoreStatement(Escaper(), row), callback);
}

void BillerDatabaseMariadb::InsertP4StoreReceipt(const P4StoreReceiptRow& row,
                                                 const InsertReceiptCallback& callback) {
  Execute(ComposeP4StoreStatement(Escaper(), row), callback);
}

void BillerDatabaseMariadb::InsertOneStoreReceipt(const OneStoreReceiptRow& row,
                                                  const InsertReceiptCallback& callback) {
  Execute(ComposeOneStoreStatement(Escaper(), row), callback);
}

void BillerDatabaseMariadb::GetDatabaseProfiling(Json* out) {
  if (!out) LOG(FATAL) << "Assert failed: out";
  the_database_statistics.Publish(out);
}

void DeliverDatabaseResult(std::function<void()> deliver) {
  if (!initialized) LOG(FATAL) << "Assert failed: initialized";
  the_cb_invoker([deliver = std::move(deliver)](const BillerDatabase::InsertReceiptResult&) { deliver(); },
                 BillerDatabase::kInsertSucceeded);
}

BillerDatabase::InsertReceiptResult InterpretInsertAnswer(
    const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error,
    const std::string& statement) {
  if (error) {
    LOG(ERROR) << "Failed to execute query: " << error;
    return BillerDatabase::kInsertFailed;
  }
  if (result_sets && result_sets->SeekNextResultSet() && result_sets->SeekNextRow()) {
    // A NULL or a text that is no integer is not an answer; reading it as 0
    // would report a receipt as new that may not have been recorded.
    constexpr int64_t kNoInteger = std::numeric_limits<int64_t>::min();
    const int64_t value = result_sets->GetInt(0, kNoInteger);
    switch (value) {
      case 0:
        return BillerDatabase::kInsertSucceeded;
      case 1:
        LOG(WARNING) << "BillerDatabaseMariadb::ExecInsertReceiptQuery: "
                     << "duplicated receipt: query: " << statement;
        return BillerDatabase::kInsertDuplicated;
      default:
        LOG(ERROR) << "BillerDatabaseMariadb::ExecInsertReceiptQuery: "
                   << "unexpected result value: " << result_sets->GetString(0, "NULL")
                   << ": query: " << statement;
        return BillerDatabase::kInsertFailed;
    }
  }
  LOG(ERROR) << "BillerDatabaseMariadb::ExecInsertReceiptQuery: "
             << "no return value: query: " << statement;
  return BillerDatabase::kInsertFailed;
}

void BillerDatabaseMariadb::ExecInsertReceiptQuery(const std::shared_ptr<ResultSets>& result_sets,
                                                   const Mariadb::Error& error,
                                                   const std::string& statement,
                                                   const InsertReceiptCallback& callback,
                                                   int64_t start_time) {
  RecordDatabaseTime(start_time, statement);
  const InsertReceiptResult result = InterpretInsertAnswer(result_sets, error, statement);
  the_cb_invoker(callback, result);
}

}  // namespace tvx
