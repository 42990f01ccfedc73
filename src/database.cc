#include "src/database.h"

#include <limits>

#include <glog/logging.h>

#include "framework/clock.h"
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
  Mariadb::Error error;
  connection_->ExecuteQuerySync(script, &error);
  if (error) {
    LOG(ERROR) << error << ", script: " << script;
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

void BillerDatabaseMariadb::InsertGooglePlayReceipt(
    const std::string& biller_client_id, const std::string& account_id,
    const std::string& account_service_provider, const std::string& package_name,
    const std::string& product_id, const std::string& purchase_token, const std::string& kind,
    const std::string& purchase_time_millis, const std::string& purchase_time_zone,
    const int32_t& purchase_state, const int32_t& consumption_state,
    const std::string& order_id, const InsertReceiptCallback& callback) {
  Execute(ComposeGooglePlayStatement(
              [this](const std::string& text) { return connection_->Escape(text); },
              biller_client_id, account_id, account_service_provider, package_name, product_id,
              purchase_token, kind, purchase_time_millis, purchase_time_zone, purchase_state,
              consumption_state, order_id),
          callback);
}

void BillerDatabaseMariadb::InsertGooglePlayReceipt2(
    const std::string& biller_client_id, const std::string& account_id,
    const std::string& account_service_provider, const std::string& package_name,
    const std::string& product_id, const std::string& purchase_token, const std::string& kind,
    const std::string& purchase_time_millis, const std::string& purchase_time_zone,
    const int32_t& purchase_state, const int32_t& consumption_state,
    const std::string& order_id, const int32_t& acknowledgement_state,
    const int32_t& purchase_type, const std::string& developer_payload,
    const InsertReceiptCallback& callback) {
  Execute(ComposeGooglePlay2Statement(
              [this](const std::string& text) { return connection_->Escape(text); },
              biller_client_id, account_id, account_service_provider, package_name, product_id,
              purchase_token, kind, purchase_time_millis, purchase_time_zone, purchase_state,
              consumption_state, order_id, acknowledgement_state, purchase_type,
              developer_payload),
          callback);
}

void BillerDatabaseMariadb::InsertAppleAppStoreReceipt(
    const std::string& biller_client_id, const std::string& account_id,
    const std::string& account_service_provider, const bool& is_sandbox,
    const std::string& receipt_data, const std::string& product_id, const int64_t& quantity,
    const std::string& transaction_id, const std::string& original_transaction_id,
    const std::string& purchase_date, const std::string& purchase_date_time_zone,
    const std::string& original_purchase_date,
    const std::string& original_purchase_date_time_zone, const InsertReceiptCallback& callback) {
  Execute(ComposeAppleAppStoreStatement(
              [this](const std::string& text) { return connection_->Escape(text); },
              biller_client_id, account_id, account_service_provider, is_sandbox, receipt_data,
              product_id, quantity, transaction_id, original_transaction_id, purchase_date,
              purchase_date_time_zone, original_purchase_date, original_purchase_date_time_zone),
          callback);
}

void BillerDatabaseMariadb::InsertTStoreReceipt(
    const std::string& biller_client_id, const std::string& account_id,
    const std::string& account_service_provider, const bool& is_test, const std::string& txid,
    const std::string& appid, const std::string& signdata,
    const std::vector<std::string>& requested_product_ids,
    const std::vector<std::string>& verified_product_ids, const InsertReceiptCallback& callback) {
  Execute(ComposeTStoreStatement(
              [this](const std::string& text) { return connection_->Escape(text); },
              biller_client_id, account_id, account_service_provider, is_test, txid, appid,
              signdata, requested_product_ids, verified_product_ids),
          callback);
}

void BillerDatabaseMariadb::InsertP4StoreReceipt(
    const std::string& biller_client_id, const std::string& account_id,
    const std::string& account_service_provider, const int64_t& service_label,
    const std::string& entitlement_id, const std::string& auth_code,
    const std::string& environment, const int64_t& use_count, const int64_t& use_limit,
    const int64_t& requested_use_count, const InsertReceiptCallback& callback) {
  Execute(ComposeP4StoreStatement(
              [this](const std::string& text) { return connection_->Escape(text); },
              biller_client_id, account_id, account_service_provider, service_label,
              entitlement_id, auth_code, environment, use_count, use_limit, requested_use_count),
          callback);
}

void BillerDatabaseMariadb::InsertOneStoreReceipt(
    const std::string& biller_client_id, const std::string& account_id,
    const std::string& account_service_provider, const bool& is_test,
    const std::string& purchase_id, const std::string& package_name,
    const std::string& product_id, const int32_t& consumption_state,
    const int32_t& purchase_state, const int64_t& purchase_time,
    const std::string& developer_payload, const InsertReceiptCallback& callback) {
  Execute(ComposeOneStoreStatement(
              [this](const std::string& text) { return connection_->Escape(text); },
              biller_client_id, account_id, account_service_provider, is_test, purchase_id,
              package_name, product_id, consumption_state, purchase_state, purchase_time,
              developer_payload),
          callback);
}

void BillerDatabaseMariadb::GetDatabaseProfiling(Json* out) {
  if (!out) LOG(FATAL) << "Assert failed: out";
  the_database_statistics.Publish(out);
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
