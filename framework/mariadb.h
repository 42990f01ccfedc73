// Mariadb: a pooled, asynchronous MariaDB/MySQL client on Connector/C.
//
// A client owns `connection_count` connections; each is served by a thread of
// its own, and all of them take statements from one bounded queue in arrival
// order. ExecuteQuery returns at once; its handler runs on the pool thread
// that executed the statement, with every result set already read into
// memory, so the handler may keep the ResultSets as long as it likes.
//
// Failures are values: a Mariadb::Error with code 0 means success. Codes are
// the server's (1000-1999, 3000+), Connector/C's (2000-2999) or this
// client's own (kError... below).
//
// Connection loss: a statement whose execution hits a lost connection fails
// with the client library's error; the connection is opened again for the
// next statement. A connection that the server closed while it was idle is
// noticed and reopened before it is used, so a restarted server costs no
// statement that was sent after the restart.
#ifndef FRAMEWORK_MARIADB_H_
#define FRAMEWORK_MARIADB_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tvx {

// The result sets of one statement (several for a multi-statement text or a
// CALL). Only statements that produce rows give a result set; an INSERT or a
// CALL's final status gives none. Not thread-safe; it is handed to one
// handler.
class ResultSets {
 public:
  ResultSets() = default;

  // Moves to the next result set (the first on the first call) and puts the
  // row cursor before its first row. False when there is none left.
  bool SeekNextResultSet();
  // Moves to the next row of the current result set; false when there is
  // none left or no result set is current.
  bool SeekNextRow();
  // Rows of the current result set; 0 when none is current.
  size_t GetRowCount() const;
  size_t GetColumnCount() const;

  // Values of the current row. A column out of range, a NULL value, no
  // current row or (for the numbers) text that is not wholly a decimal
  // integer in range gives `default_value`.
  int64_t GetInt(size_t column, int64_t default_value) const;
  int32_t GetInt32(size_t column, int32_t default_value) const;
  std::string GetString(size_t column, const std::string& default_value = "") const;
  bool IsNull(size_t column) const;

  // Building (used by the client and by tests).
  void AddResultSet(size_t column_count);
  void AddRow(std::vector<std::optional<std::string>> values);
  size_t ResultSetCount() const { return sets_.size(); }

 private:
  struct ResultSet {
    size_t column_count = 0;
    std::vector<std::vector<std::optional<std::string>>> rows;
  };
  const std::optional<std::string>* Cell(size_t column) const;

  std::vector<ResultSet> sets_;
  // Cursors: -1 is "before the first".
  int64_t set_index_ = -1;
  int64_t row_index_ = -1;
};

class Mariadb {
 public:
  struct Error {
    unsigned int code = 0;  // 0: no error
    std::string message;
    std::string sql_state;
    explicit operator bool() const { return code != 0; }
  };

  using QueryHandler =
      std::function<void(const std::shared_ptr<ResultSets>& result_sets, const Error& error)>;
  // Told about every connection that could not be opened or was lost; runs
  // on a pool thread (or on the thread calling Initialize).
  using ConnectionFailureHandler = std::function<void(const Error& error)>;

  // This client's own error codes.
  static constexpr unsigned int kErrorQueueFull = 9001;   // too many statements waiting
  static constexpr unsigned int kErrorNotRunning = 9002;  // before Initialize or after Finalize

  // Connector/C's CLIENT_MULTI_STATEMENTS and CLIENT_MULTI_RESULTS. Multiple
  // results are always asked for, since a CALL needs them.
  static constexpr uint64_t kClientMultiStatements = 1UL << 16;
  static constexpr uint64_t kClientMultiResults = 1UL << 17;

  static constexpr bool kDefaultAutoRetryOnDeadlock = true;
  static constexpr uint64_t kDefaultClientFlags = kClientMultiStatements | kClientMultiResults;
  // Statements slower than this (microseconds) are logged; 0 turns it off.
  static constexpr int64_t kDefaultSlowQueryLoggingTime = 1000000;
  static const ConnectionFailureHandler kDefaultConnectionFailureHandler;  // none

  // A deadlocked statement (also a write that lost a Galera cluster's
  // certification, which reports the same error) is run again at most this
  // many times, after a short pause that grows with each attempt.
  static constexpr int kMaxDeadlockRetries = 8;
  // Statements waiting for a connection; ExecuteQuery refuses more.
  static constexpr size_t kMaxQueuedQueries = 10000;
  static constexpr uint64_t kMaxConnectionCount = 256;

  // The character set a client and a schema use for `name`: "utf8" (in any
  // letter case) means MariaDB's four-byte utf8mb4, since the server's own
  // "utf8" is the three-byte utf8mb3, which cannot hold characters outside
  // the Basic Multilingual Plane (emoji) and refuses a text holding one.
  // Three-byte text is the same in both. Any other name is kept.
  static std::string EffectiveCharacterSet(const std::string& name);

  // `address` is "host:port" (":port" may be left out for 3306; an IPv6
  // host is written in brackets). Null when the address or the count is not
  // usable. Nothing is connected before Initialize. The connection uses
  // EffectiveCharacterSet(character_set).
  static std::shared_ptr<Mariadb> Create(const std::string& address, const std::string& id,
                                         const std::string& password,
                                         const std::string& database, uint64_t connection_count,
                                         const std::string& character_set,
                                         bool auto_retry_on_deadlock, uint64_t client_flags,
                                         int64_t slow_query_logging_time,
                                         const ConnectionFailureHandler& connection_failure_handler);

  ~Mariadb();  // Finalize
  Mariadb(const Mariadb&) = delete;
  Mariadb& operator=(const Mariadb&) = delete;

  // Opens every connection and starts the pool threads. False (with the
  // reason in `error` when given) when a connection cannot be opened; the
  // client is then left as before. Call once, from one thread.
  bool Initialize(Error* error = nullptr);

  // Stops the pool: statements still waiting fail with kErrorNotRunning (their
  // handlers run on a pool thread), the statements being executed finish,
  // the threads are joined and the connections closed. Idempotent. Called on
  // a pool thread (from a handler) it does not wait for that thread.
  void Finalize();

  // Queues `query` and returns at once. `handler` runs exactly once: on a
  // pool thread, or on the calling thread at once when the client is not
  // running or the queue is full. `result_sets` is null exactly when `error`
  // is set. A text of several statements needs kClientMultiStatements.
  void ExecuteQuery(const std::string& query, QueryHandler handler);

  // Runs `query` on the pool and waits for it. Null on failure, with the
  // reason in `error` when given. Must not be called on a pool thread.
  std::shared_ptr<ResultSets> ExecuteQuerySync(const std::string& query, Error* error = nullptr);

  // `text` escaped for use between single quotes in a statement of this
  // client, for its character set and the server's quoting mode (the
  // library's mysql_real_escape_string). Thread-safe; needs Initialize.
  std::string Escape(const std::string& text) const;

  const std::string& address() const;
  const std::string& database() const;

  // Statements waiting for a connection (for tests and diagnostics).
  size_t QueuedCount() const;

 private:
  class Impl;
  explicit Mariadb(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

// "Error: message[...], error code[...], sql state[...]".
std::ostream& operator<<(std::ostream& os, const Mariadb::Error& error);

}  // namespace tvx

#endif  // FRAMEWORK_MARIADB_H_
