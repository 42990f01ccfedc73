// Mariadb: the connection pool and its threads.
#include "framework/mariadb.h"

#include <poll.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include <boost/algorithm/string/predicate.hpp>
#include <glog/logging.h>
#include <mysql.h>
#include <errmsg.h>
#include <mysqld_error.h>

#include "framework/framework_flags.h"

namespace tvx {

static_assert(Mariadb::kClientMultiStatements == CLIENT_MULTI_STATEMENTS);
static_assert(Mariadb::kClientMultiResults == CLIENT_MULTI_RESULTS);

const Mariadb::ConnectionFailureHandler Mariadb::kDefaultConnectionFailureHandler;

std::ostream& operator<<(std::ostream& os, const Mariadb::Error& error) {
  return os << "Error: message[" << error.message << "], error code[" << error.code
            << "], sql state[" << error.sql_state << "]";
}

namespace {

// Deadlines of one connection: a server that does not answer cannot hold a
// pool thread for ever.
constexpr unsigned int kConnectTimeoutSeconds = 5;
constexpr unsigned int kReadTimeoutSeconds = 60;
constexpr unsigned int kWriteTimeoutSeconds = 60;
// Longest piece of a statement written to a log line.
constexpr size_t kLoggedQueryLength = 512;

thread_local bool on_pool_thread = false;

struct Settings {
  std::string address;
  std::string host;
  unsigned int port = 3306;
  std::string id;
  std::string password;
  std::string database;
  uint64_t connection_count = 1;
  std::string character_set;
  bool auto_retry_on_deadlock = true;
  uint64_t client_flags = 0;
  int64_t slow_query_logging_time = 0;
  Mariadb::ConnectionFailureHandler connection_failure_handler;
};

Mariadb::Error MakeError(unsigned int code, std::string message, std::string sql_state = "HY000") {
  return Mariadb::Error{code, std::move(message), std::move(sql_state)};
}

Mariadb::Error ErrorOf(MYSQL* mysql) {
  return MakeError(mysql_errno(mysql), mysql_error(mysql), mysql_sqlstate(mysql));
}

// Errors after which the connection cannot be trusted with another
// statement: every client-side error and the server's "you are closed".
bool LosesConnection(unsigned int code) {
  return (code >= CR_MIN_ERROR && code <= CR_MAX_ERROR) || (code >= 5000 && code <= 5999) ||
         code == ER_CONNECTION_KILLED || code == ER_SERVER_SHUTDOWN;
}

std::string Shorten(const std::string& query) {
  if (query.size() <= kLoggedQueryLength) return query;
  return query.substr(0, kLoggedQueryLength) + "...";
}

bool ParseAddress(const std::string& address, std::string* host, unsigned int* port) {
  std::string port_text;
  if (!address.empty() && address.front() == '[') {
    const auto close = address.find(']');
    if (close == std::string::npos) return false;
    *host = address.substr(1, close - 1);
    if (close + 1 < address.size()) {
      if (address[close + 1] != ':') return false;
      port_text = address.substr(close + 2);
    }
  } else {
    const auto colon = address.rfind(':');
    if (colon != std::string::npos && address.find(':') != colon) return false;  // bare IPv6
    *host = address.substr(0, colon);
    if (colon != std::string::npos) port_text = address.substr(colon + 1);
  }
  if (host->empty()) return false;
  *port = 3306;
  if (address.back() == ':') return false;
  if (!port_text.empty()) {
    unsigned int value = 0;
    auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), value);
    if (ec != std::errc() || end != port_text.data() + port_text.size() || value == 0 ||
        value > 65535) {
      return false;
    }
    *port = value;
  }
  return true;
}

// One server connection. Used by one thread at a time.
class Connection {
 public:
  explicit Connection(const Settings& settings) : settings_(settings) {}
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Open(Mariadb::Error* error) {
    Close();
    mysql_ = mysql_init(nullptr);
    if (!mysql_) {
      *error = MakeError(CR_OUT_OF_MEMORY, "mysql_init failed");
      return false;
    }
    const unsigned int connect_timeout = kConnectTimeoutSeconds;
    const unsigned int read_timeout = kReadTimeoutSeconds;
    const unsigned int write_timeout = kWriteTimeoutSeconds;
    const my_bool no = 0;
    const unsigned int no_local_infile = 0;
    mysql_options(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
    mysql_options(mysql_, MYSQL_OPT_READ_TIMEOUT, &read_timeout);
    mysql_options(mysql_, MYSQL_OPT_WRITE_TIMEOUT, &write_timeout);
    // Reconnecting is ours to do: the library's own would do it silently in
    // the middle of a statement.
    mysql_options(mysql_, MYSQL_OPT_RECONNECT, &no);
    mysql_options(mysql_, MYSQL_OPT_LOCAL_INFILE, &no_local_infile);
    mysql_options(mysql_, MYSQL_SET_CHARSET_NAME, settings_.character_set.c_str());
    // The operator's option file ([client] and [biller] groups: socket, TLS
    // and the rest), then TLS verified against the CA file.
    if (!FLAGS_mysql_option_file.empty()) {
      mysql_options(mysql_, MYSQL_READ_DEFAULT_FILE, FLAGS_mysql_option_file.c_str());
      mysql_options(mysql_, MYSQL_READ_DEFAULT_GROUP, "biller");
    }
    if (!FLAGS_mysql_ssl_ca_file.empty()) {
      const my_bool yes = 1;
      mysql_options(mysql_, MYSQL_OPT_SSL_CA, FLAGS_mysql_ssl_ca_file.c_str());
      mysql_options(mysql_, MYSQL_OPT_SSL_ENFORCE, &yes);
      mysql_options(mysql_, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &yes);
    }
    const unsigned long flags =  // NOLINT(runtime/int): the library's type
        static_cast<unsigned long>(settings_.client_flags | CLIENT_MULTI_RESULTS);  // NOLINT
    if (!mysql_real_connect(mysql_, settings_.host.c_str(), settings_.id.c_str(),
                            settings_.password.c_str(),
                            settings_.database.empty() ? nullptr : settings_.database.c_str(),
                            settings_.port, nullptr, flags)) {
      *error = ErrorOf(mysql_);
      Close();
      return false;
    }
    broken_ = false;
    return true;
  }

  void Close() {
    if (mysql_) mysql_close(mysql_);
    mysql_ = nullptr;
  }

  MYSQL* handle() const { return mysql_; }

  // Open and believed usable; reopens a connection that was lost or that
  // the server closed while it lay idle.
  bool EnsureOpen(Mariadb::Error* error) {
    if (mysql_ && !broken_ && !ClosedByServer()) return true;
    if (mysql_) {
      LOG(WARNING) << "Mariadb: reopening a lost connection, address=" << settings_.address;
    }
    return Open(error);
  }

  // Runs one statement text and reads all of its results.
  std::shared_ptr<ResultSets> Execute(const std::string& query, Mariadb::Error* error) {
    if (mysql_real_query(mysql_, query.data(), query.size()) != 0) return Fail(error);
    auto result_sets = std::make_shared<ResultSets>();
    for (;;) {
      MYSQL_RES* result = mysql_store_result(mysql_);
      if (result) {
        const unsigned int columns = mysql_num_fields(result);
        result_sets->AddResultSet(columns);
        while (MYSQL_ROW row = mysql_fetch_row(result)) {
          const unsigned long* lengths = mysql_fetch_lengths(result);  // NOLINT(runtime/int)
          std::vector<std::optional<std::string>> values(columns);
          for (unsigned int i = 0; i < columns; ++i) {
            if (row[i]) values[i].emplace(row[i], lengths[i]);
          }
          result_sets->AddRow(std::move(values));
        }
        mysql_free_result(result);
      } else if (mysql_field_count(mysql_) != 0) {
        // Rows were due but could not be read.
        broken_ = true;
        return Fail(error);
      }
      const int next = mysql_next_result(mysql_);
      if (next < 0) break;
      if (next > 0) return Fail(error);
    }
    return result_sets;
  }

  bool broken() const { return broken_; }

 private:
  std::shared_ptr<ResultSets> Fail(Mariadb::Error* error) {
    *error = ErrorOf(mysql_);
    if (LosesConnection(error->code)) broken_ = true;
    return nullptr;
  }

  // An idle connection has nothing to read; when it has, the server closed
  // it (or said goodbye first) and a statement sent on it would be lost.
  bool ClosedByServer() const {
    pollfd fd{};
    fd.fd = mysql_get_socket(mysql_);
    fd.events = POLLIN | POLLRDHUP;
    return ::poll(&fd, 1, 0) != 0;
  }

  const Settings& settings_;
  MYSQL* mysql_ = nullptr;
  bool broken_ = false;
};

struct Task {
  std::string query;
  Mariadb::QueryHandler handler;
};

}  // namespace

class Mariadb::Impl : public std::enable_shared_from_this<Mariadb::Impl> {
 public:
  explicit Impl(Settings settings) : settings_(std::move(settings)) {}

  bool Initialize(Error* error);
  void Finalize();
  void Enqueue(std::string query, QueryHandler handler);
  std::string Escape(const std::string& text) const;
  size_t QueuedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
  }
  const Settings& settings() const { return settings_; }

 private:
  enum class State { kCreated, kRunning, kStopped };

  void Serve(std::unique_ptr<Connection> connection);
  void Run(Connection* connection, Task* task);
  std::shared_ptr<ResultSets> ExecuteWithRetry(Connection* connection, const std::string& query,
                                               Error* error);
  void ReportConnectionFailure(const Error& error) const;

  const Settings settings_;  // immutable after Create

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  State state_ = State::kCreated;  // GUARDED_BY(mutex_)
  std::deque<Task> queue_;         // GUARDED_BY(mutex_)
  // Touched only by Initialize and Finalize, which are not called
  // concurrently.
  std::vector<std::thread> threads_;

  // A connection kept only for escaping: mysql_real_escape_string reads the
  // connection's character set and quoting mode, which a pool connection
  // rewrites while it runs statements on its own thread.
  mutable std::mutex escape_mutex_;
  std::unique_ptr<Connection> escape_connection_;  // GUARDED_BY(escape_mutex_)
};

void Mariadb::Impl::ReportConnectionFailure(const Error& error) const {
  LOG(ERROR) << "Mariadb: connection failure: address=" << settings_.address
             << ", database=" << settings_.database << ", " << error;
  if (settings_.connection_failure_handler) settings_.connection_failure_handler(error);
}

bool Mariadb::Impl::Initialize(Error* error) {
  Error local;
  if (!error) error = &local;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kCreated) {
      *error = MakeError(kErrorNotRunning, "Initialize called twice");
      return false;
    }
  }
  std::vector<std::unique_ptr<Connection>> connections;
  auto escape_connection = std::make_unique<Connection>(settings_);
  if (!escape_connection->Open(error)) {
    ReportConnectionFailure(*error);
    return false;
  }
  for (uint64_t i = 0; i < settings_.connection_count; ++i) {
    connections.push_back(std::make_unique<Connection>(settings_));
    if (!connections.back()->Open(error)) {
      ReportConnectionFailure(*error);
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(escape_mutex_);
    escape_connection_ = std::move(escape_connection);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = State::kRunning;
  }
  auto self = shared_from_this();
  for (auto& connection : connections) {
    threads_.emplace_back([self, connection = std::move(connection)]() mutable {
      self->Serve(std::move(connection));
    });
  }
  return true;
}

void Mariadb::Impl::Finalize() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool was_running = state_ == State::kRunning;
    state_ = State::kStopped;
    if (!was_running) return;
  }
  wake_.notify_all();
  for (auto& thread : threads_) {
    // A handler may drop the last holder of the client on a pool thread;
    // that thread ends by itself once it returns.
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  threads_.clear();
  std::lock_guard<std::mutex> lock(escape_mutex_);
  escape_connection_.reset();
}

void Mariadb::Impl::Enqueue(std::string query, QueryHandler handler) {
  Error refusal;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kRunning) {
      refusal = MakeError(kErrorNotRunning, "the database client is not running");
    } else if (queue_.size() >= kMaxQueuedQueries) {
      refusal = MakeError(kErrorQueueFull, "too many statements are waiting for a connection");
    } else {
      queue_.push_back(Task{std::move(query), std::move(handler)});
    }
  }
  if (refusal) {
    LOG(ERROR) << "Mariadb::ExecuteQuery: refused: " << refusal;
    if (handler) handler(nullptr, refusal);
    return;
  }
  wake_.notify_one();
}

std::string Mariadb::Impl::Escape(const std::string& text) const {
  std::string escaped(text.size() * 2 + 1, '\0');
  std::lock_guard<std::mutex> lock(escape_mutex_);
  if (!escape_connection_ || !escape_connection_->handle()) {
    // Without a connection there is no way to know the quoting rules; an
    // empty value is safe where a guess is not.
    LOG(ERROR) << "Mariadb::Escape: the database client is not initialized";
    return std::string();
  }
  const unsigned long length = mysql_real_escape_string(  // NOLINT(runtime/int)
      escape_connection_->handle(), escaped.data(), text.data(), text.size());
  escaped.resize(length);
  return escaped;
}

void Mariadb::Impl::Serve(std::unique_ptr<Connection> connection) {
  on_pool_thread = true;
  mysql_thread_init();
  for (;;) {
    Task task;
    bool stopped = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return !queue_.empty() || state_ == State::kStopped; });
      if (queue_.empty()) break;
      task = std::move(queue_.front());
      queue_.pop_front();
      stopped = state_ == State::kStopped;
    }
    if (stopped) {
      // Not run: a statement queued behind a shut-down is not worth the
      // risk of recording something nobody will hear about.
      if (task.handler) {
        task.handler(nullptr, MakeError(kErrorNotRunning, "the database client was finalized"));
      }
      continue;
    }
    Run(connection.get(), &task);
  }
  connection.reset();
  mysql_thread_end();
}

void Mariadb::Impl::Run(Connection* connection, Task* task) {
  const auto start = std::chrono::steady_clock::now();
  Error error;
  auto result_sets = ExecuteWithRetry(connection, task->query, &error);
  const int64_t elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
  if (settings_.slow_query_logging_time > 0 && elapsed >= settings_.slow_query_logging_time) {
    LOG(WARNING) << "Mariadb: slow query: elapsed_us=" << elapsed
                 << ", query=" << Shorten(task->query);
  }
  if (task->handler) task->handler(result_sets, error);
}

namespace {
std::minstd_rand& RetryJitter() {
  thread_local std::minstd_rand engine(std::random_device{}());
  return engine;
}
}  // namespace

std::shared_ptr<ResultSets> Mariadb::Impl::ExecuteWithRetry(Connection* connection,
                                                             const std::string& query,
                                                             Error* error) {
  for (int attempt = 0;; ++attempt) {
    if (!connection->EnsureOpen(error)) {
      ReportConnectionFailure(*error);
      return nullptr;
    }
    *error = Error();
    auto result_sets = connection->Execute(query, error);
    if (!*error) return result_sets;
    if (error->code == ER_LOCK_DEADLOCK && settings_.auto_retry_on_deadlock &&
        attempt < kMaxDeadlockRetries) {
      LOG(WARNING) << "Mariadb: deadlock, running the statement again: attempt=" << attempt + 1
                   << ", query=" << Shorten(query);
      // Writers racing for the same rows on several cluster nodes collide
      // again when they retry in step: a random pause, up to 1, 2, 4 ... 64 ms,
      // spreads them. Only this connection's thread waits.
      const int ceiling_ms = 1 << std::min(attempt, 6);
      std::this_thread::sleep_for(std::chrono::microseconds(
          std::uniform_int_distribution<int>(0, ceiling_ms * 1000)(RetryJitter())));
      continue;
    }
    if (connection->broken()) ReportConnectionFailure(*error);
    return nullptr;
  }
}

// --- Mariadb ------------------------------------------------------------------

Mariadb::Mariadb(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

Mariadb::~Mariadb() { impl_->Finalize(); }

std::string Mariadb::EffectiveCharacterSet(const std::string& name) {
  if (boost::algorithm::iequals(name, "utf8")) return "utf8mb4";
  return name;
}

std::shared_ptr<Mariadb> Mariadb::Create(const std::string& address, const std::string& id,
                                         const std::string& password,
                                         const std::string& database, uint64_t connection_count,
                                         const std::string& character_set,
                                         bool auto_retry_on_deadlock, uint64_t client_flags,
                                         int64_t slow_query_logging_time,
                                         const ConnectionFailureHandler& connection_failure_handler) {
  Settings settings;
  if (!ParseAddress(address, &settings.host, &settings.port)) {
    LOG(ERROR) << "Mariadb::Create: not a host:port address: " << address;
    return nullptr;
  }
  if (connection_count == 0 || connection_count > kMaxConnectionCount) {
    LOG(ERROR) << "Mariadb::Create: connection count must be 1 to " << kMaxConnectionCount
               << ": " << connection_count;
    return nullptr;
  }
  // The library's global state is set up once, before any thread uses it.
  static std::once_flag library_once;
  std::call_once(library_once, [] { mysql_library_init(0, nullptr, nullptr); });

  settings.address = address;
  settings.id = id;
  settings.password = password;
  settings.database = database;
  settings.connection_count = connection_count;
  settings.character_set = EffectiveCharacterSet(character_set);
  settings.auto_retry_on_deadlock = auto_retry_on_deadlock;
  settings.client_flags = client_flags;
  settings.slow_query_logging_time = slow_query_logging_time;
  settings.connection_failure_handler = connection_failure_handler;
  return std::shared_ptr<Mariadb>(new Mariadb(std::make_shared<Impl>(std::move(settings))));
}

bool Mariadb::Initialize(Error* error) { return impl_->Initialize(error); }

void Mariadb::Finalize() { impl_->Finalize(); }

void Mariadb::ExecuteQuery(const std::string& query, QueryHandler handler) {
  impl_->Enqueue(query, std::move(handler));
}

std::shared_ptr<ResultSets> Mariadb::ExecuteQuerySync(const std::string& query, Error* error) {
  Error local;
  if (!error) error = &local;
  if (on_pool_thread) {
    *error = MakeError(kErrorNotRunning, "ExecuteQuerySync called on a pool thread");
    LOG(ERROR) << "Mariadb::ExecuteQuerySync: " << *error;
    return nullptr;
  }
  struct Outcome {
    std::shared_ptr<ResultSets> result_sets;
    Error error;
  };
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  impl_->Enqueue(query, [promise](const std::shared_ptr<ResultSets>& result_sets,
                                  const Error& e) { promise->set_value(Outcome{result_sets, e}); });
  Outcome outcome = future.get();
  *error = outcome.error;
  return outcome.error ? nullptr : outcome.result_sets;
}

std::string Mariadb::Escape(const std::string& text) const { return impl_->Escape(text); }

const std::string& Mariadb::address() const { return impl_->settings().address; }

const std::string& Mariadb::database() const { return impl_->settings().database; }

size_t Mariadb::QueuedCount() const { return impl_->QueuedCount(); }

}  // namespace tvx
