// The receipt database: records each confirmed purchase once, through one
// stored procedure per store, and tells the caller whether the receipt was
// new. BillerDatabase is the interface; BillerDatabaseMariadb, its only
// implementation, runs the procedures on the framework's Mariadb client.
//
// Threads: the insert operations may be called from any thread and return at
// once. Their results are handed to the callback invoker given to Initialize
// (the agent posts them onto its io group), never to the callback directly,
// and never on the caller's stack. InstallSchema and ValidateSchema block and
// are for the start-up thread.
#ifndef SRC_DATABASE_H_
#define SRC_DATABASE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/json.h"
#include "framework/mariadb.h"

namespace tvx {

class BillerDatabase {
 public:
  enum InsertReceiptResult {
    kInsertSucceeded = 1,
    kInsertDuplicated = 2,
    kInsertConnectionFailed = 3,  // never produced by BillerDatabaseMariadb
    kInsertFailed = 4,
  };
  // Called exactly once per insert.
  using InsertReceiptCallback = std::function<void(const InsertReceiptResult&)>;
  using CallbackInvoker =
      std::function<void(const InsertReceiptCallback&, const InsertReceiptResult&)>;

  // Sets the invoker through which every insert result is delivered. Once
  // per process, before Create; a second call or an empty invoker is fatal.
  static void Initialize(const CallbackInvoker& cb_invoker);

  // A database over a new, initialised Mariadb client; null when the client
  // cannot be made or its connections cannot be opened. Fatal before
  // Initialize.
  static std::shared_ptr<BillerDatabase> Create(const std::string& address,
                                                const std::string& id,
                                                const std::string& password,
                                                const std::string& database,
                                                uint64_t connection_count,
                                                const std::string& character_set);

  virtual ~BillerDatabase() = default;

  // Runs the schema script (several statements) at once. False, with the
  // error and the script logged, when the server refuses it.
  virtual bool InstallSchema(const std::string& script) = 0;
  // Returns when the tables and procedures the inserts need are there and
  // old receipts are migrated; otherwise ends the process saying what is
  // wrong.
  virtual void ValidateSchema() = 0;

  // Arguments 1 to 3 of every insert: the biller client id of the session,
  // the player account id and the account's service provider.

  // The older Google Play procedure; kept for callers of the first version.
  virtual void InsertGooglePlayReceipt(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const std::string& package_name,
      const std::string& product_id, const std::string& purchase_token, const std::string& kind,
      const std::string& purchase_time_millis, const std::string& purchase_time_zone,
      const int32_t& purchase_state, const int32_t& consumption_state,
      const std::string& order_id, const InsertReceiptCallback& callback) = 0;
  virtual void InsertGooglePlayReceipt2(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const std::string& package_name,
      const std::string& product_id, const std::string& purchase_token, const std::string& kind,
      const std::string& purchase_time_millis, const std::string& purchase_time_zone,
      const int32_t& purchase_state, const int32_t& consumption_state,
      const std::string& order_id, const int32_t& acknowledgement_state,
      const int32_t& purchase_type, const std::string& developer_payload,
      const InsertReceiptCallback& callback) = 0;
  // `receipt_data` is stored without its trailing "=" padding.
  virtual void InsertAppleAppStoreReceipt(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const bool& is_sandbox,
      const std::string& receipt_data, const std::string& product_id, const int64_t& quantity,
      const std::string& transaction_id, const std::string& original_transaction_id,
      const std::string& purchase_date, const std::string& purchase_date_time_zone,
      const std::string& original_purchase_date,
      const std::string& original_purchase_date_time_zone,
      const InsertReceiptCallback& callback) = 0;
  virtual void InsertTStoreReceipt(const std::string& biller_client_id,
                                   const std::string& account_id,
                                   const std::string& account_service_provider,
                                   const bool& is_test, const std::string& txid,
                                   const std::string& appid, const std::string& signdata,
                                   const std::vector<std::string>& requested_product_ids,
                                   const std::vector<std::string>& verified_product_ids,
                                   const InsertReceiptCallback& callback) = 0;
  virtual void InsertP4StoreReceipt(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const int64_t& service_label,
      const std::string& entitlement_id, const std::string& auth_code,
      const std::string& environment, const int64_t& use_count, const int64_t& use_limit,
      const int64_t& requested_use_count, const InsertReceiptCallback& callback) = 0;
  virtual void InsertOneStoreReceipt(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const bool& is_test,
      const std::string& purchase_id, const std::string& package_name,
      const std::string& product_id, const int32_t& consumption_state,
      const int32_t& purchase_state, const int64_t& purchase_time,
      const std::string& developer_payload, const InsertReceiptCallback& callback) = 0;

  // Writes the insert execution-time statistics ("all_time", "last1min").
  // A null `out` is fatal.
  virtual void GetDatabaseProfiling(Json* out) = 0;
};

class BillerDatabaseMariadb : public BillerDatabase {
 public:
  // `connection` must be initialised.
  explicit BillerDatabaseMariadb(std::shared_ptr<Mariadb> connection);
  ~BillerDatabaseMariadb() override;  // finalises the client

  bool InstallSchema(const std::string& script) override;
  void ValidateSchema() override;

  void InsertGooglePlayReceipt(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const std::string& package_name,
      const std::string& product_id, const std::string& purchase_token, const std::string& kind,
      const std::string& purchase_time_millis, const std::string& purchase_time_zone,
      const int32_t& purchase_state, const int32_t& consumption_state,
      const std::string& order_id, const InsertReceiptCallback& callback) override;
  void InsertGooglePlayReceipt2(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const std::string& package_name,
      const std::string& product_id, const std::string& purchase_token, const std::string& kind,
      const std::string& purchase_time_millis, const std::string& purchase_time_zone,
      const int32_t& purchase_state, const int32_t& consumption_state,
      const std::string& order_id, const int32_t& acknowledgement_state,
      const int32_t& purchase_type, const std::string& developer_payload,
      const InsertReceiptCallback& callback) override;
  void InsertAppleAppStoreReceipt(
      const std::string& biller_client_id, const std::string& account_id,
      const std::string& account_service_provider, const bool& is_sandbox,
      const std::string& receipt_data, const std::string& product_id, const int64_t& quantity,
      const std::string& transaction_id, const std::string& original_transaction_id,
      const std::string& purchase_date, const std::string& purchase_date_time_zone,
      const std::string& original_purchase_date,
      const std::string& original_purchase_date_time_zone,
      const InsertReceiptCallback& callback) override;
  void InsertTStoreReceipt(const std::string& biller_client_id, const std::string& account_id,
                           const std::string& account_service_provider, const bool& is_test,
                           const std::string& txid, const std::string& appid,
                           const std::string& signdata,
                           const std::vector<std::string>& requested_product_ids,
                           const std::vector<std::string>& verified_product_ids,
                           const InsertReceiptCallback& callback) override;
  void InsertP4StoreReceipt(const std::string& biller_client_id, const std::string& account_id,
                            const std::string& account_service_provider,
                            const int64_t& service_label, const std::string& entitlement_id,
                            const std::string& auth_code, const std::string& environment,
                            const int64_t& use_count, const int64_t& use_limit,
                            const int64_t& requested_use_count,
                            const InsertReceiptCallback& callback) override;
  void InsertOneStoreReceipt(const std::string& biller_client_id,
                             const std::string& account_id,
                             const std::string& account_service_provider, const bool& is_test,
                             const std::string& purchase_id, const std::string& package_name,
                             const std::string& product_id, const int32_t& consumption_state,
                             const int32_t& purchase_state, const int64_t& purchase_time,
                             const std::string& developer_payload,
                             const InsertReceiptCallback& callback) override;

  void GetDatabaseProfiling(Json* out) override;

  // The completion of every insert, on a Mariadb pool thread: records the
  // elapsed time, maps the answer and hands the result to the invoker.
  static void ExecInsertReceiptQuery(const std::shared_ptr<ResultSets>& result_sets,
                                     const Mariadb::Error& error, const std::string& statement,
                                     const InsertReceiptCallback& callback, int64_t start_time);

 private:
  void Execute(std::string statement, const InsertReceiptCallback& callback);

  std::shared_ptr<Mariadb> connection_;
};

// The result of one insert's answer: the procedure's first column, 0 new and
// 1 duplicate; anything else, no row or an error is a failure. Logs as the
// insert completion does.
BillerDatabase::InsertReceiptResult InterpretInsertAnswer(
    const std::shared_ptr<ResultSets>& result_sets, const Mariadb::Error& error,
    const std::string& statement);

}  // namespace tvx

#endif  // SRC_DATABASE_H_
