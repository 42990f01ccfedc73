// The receipt database: records each confirmed purchase once, through one
// stored procedure per store, and tells the caller whether the receipt was
// new. BillerDatabase is the interface; BillerDatabaseMariadb
// (database_mariadb.h), its only implementation, runs the procedures on the
// framework's Mariadb client.
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

namespace tvx {

// Arguments 1 to 3 of every insert: who the receipt was recorded for.
struct ReceiptOwner {
  std::string biller_client_id;  // the biller client id of the session
  std::string account_id;        // the player account id
  std::string account_service_provider;
};

struct GooglePlayReceiptRow {
  ReceiptOwner owner;
  std::string package_name;
  std::string product_id;
  std::string purchase_token;
  std::string kind;
  std::string purchase_time_millis;
  std::string purchase_time_zone;
  int32_t purchase_state = 0;
  int32_t consumption_state = 0;
  std::string order_id;
  // Stored by the second version of the procedure only.
  int32_t acknowledgement_state = 0;
  int32_t purchase_type = 0;
  std::string developer_payload;
};

struct AppleAppStoreReceiptRow {
  ReceiptOwner owner;
  bool is_sandbox = false;
  std::string receipt_data;  // stored without its trailing "=" padding
  std::string product_id;
  int64_t quantity = 0;
  std::string transaction_id;
  std::string original_transaction_id;
  std::string purchase_date;
  std::string purchase_date_time_zone;
  std::string original_purchase_date;
  std::string original_purchase_date_time_zone;
};

struct TStoreReceiptRow {
  ReceiptOwner owner;
  bool is_test = false;
  std::string txid;
  std::string appid;
  std::string signdata;
  std::vector<std::string> requested_product_ids;
  std::vector<std::string> verified_product_ids;
};

struct P4StoreReceiptRow {
  ReceiptOwner owner;
  int64_t service_label = 0;
  std::string entitlement_id;
  std::string auth_code;
  std::string environment;
  int64_t use_count = 0;
  int64_t use_limit = 0;
  int64_t requested_use_count = 0;
};

struct OneStoreReceiptRow {
  ReceiptOwner owner;
  bool is_test = false;
  std::string purchase_id;
  std::string package_name;
  std::string product_id;
  int32_t consumption_state = 0;
  int32_t purchase_state = 0;
  int64_t purchase_time = 0;
  std::string developer_payload;
};

// A purchase a store took back. The store is named as receipts name it
// ("GooglePlay", "AppleAppStore"); the purchase by the identity its receipt
// table keys on (purchase token, transaction id).
struct RevocationRow {
  std::string store;
  std::string purchase_id;
  int64_t revoked_at_ms = 0;
  std::string reason;
  std::string source;
};

// A revocation as recorded: the row, its place in the feed, and who had
// received the purchase ("" when the biller never recorded it).
struct RecordedRevocation {
  uint64_t seq = 0;
  RevocationRow row;
  std::string biller_client_id;
  std::string player_id;
  int64_t recorded_at_ms = 0;
};

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

  // The older Google Play procedure; kept for callers of the first version.
  // Stores the row without its last three fields.
  virtual void InsertGooglePlayReceipt(const GooglePlayReceiptRow& row,
                                       const InsertReceiptCallback& callback) = 0;
  virtual void InsertGooglePlayReceipt2(const GooglePlayReceiptRow& row,
                                        const InsertReceiptCallback& callback) = 0;
  virtual void InsertAppleAppStoreReceipt(const AppleAppStoreReceiptRow& row,
                                          const InsertReceiptCallback& callback) = 0;
  virtual void InsertTStoreReceipt(const TStoreReceiptRow& row,
                                   const InsertReceiptCallback& callback) = 0;
  virtual void InsertP4StoreReceipt(const P4StoreReceiptRow& row,
                                    const InsertReceiptCallback& callback) = 0;
  virtual void InsertOneStoreReceipt(const OneStoreReceiptRow& row,
                                     const InsertReceiptCallback& callback) = 0;

  // Revocations. Results arrive through the callback invoker, as those of
  // the inserts do. The defaults fail: a database without them records none.
  //
  // Records `row` once per store and purchase: kInsertSucceeded with the
  // recorded revocation, kInsertDuplicated when it was there already, or
  // kInsertFailed.
  using InsertRevocationCallback =
      std::function<void(InsertReceiptResult, const RecordedRevocation&)>;
  virtual void InsertRevocation(const RevocationRow& row,
                                const InsertRevocationCallback& callback);
  // At most `limit` revocations with a seq above `since`, in seq order;
  // false on failure.
  using RevocationListCallback =
      std::function<void(bool ok, const std::vector<RecordedRevocation>& revocations)>;
  virtual void ListRevocations(uint64_t since, int limit, const RevocationListCallback& callback);
  // The voided-purchases high-water mark of a package (0 when none was
  // kept); saving keeps the larger of the stored and the given mark.
  using PollMarkCallback = std::function<void(bool ok, int64_t high_water_ms)>;
  virtual void LoadPollMark(const std::string& package_name, const PollMarkCallback& callback);
  virtual void SavePollMark(const std::string& package_name, int64_t high_water_ms,
                            const PollMarkCallback& callback);

  // Writes the insert execution-time statistics ("all_time", "last1min").
  // A null `out` is fatal.
  virtual void GetDatabaseProfiling(Json* out) = 0;
};

}  // namespace tvx

#endif  // SRC_DATABASE_H_
