// The agent's module-level objects, shared by the files that implement
// BillingAgent. Written only by Start and Stop; read without a lock by the
// handlers, which run only while the agent is up.
#ifndef SRC_BILLING_AGENT_STATE_H_
#define SRC_BILLING_AGENT_STATE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "framework/http_server.h"
#include "framework/io_service.h"
#include "framework/tcp.h"
#include "framework/timer.h"
#include "src/database.h"

namespace tvx {

extern std::shared_ptr<IoContext> the_io_service;
extern std::string the_io_group_name;
extern bool the_bypass_mode;
extern std::shared_ptr<TcpServer> the_tcp_server;
extern std::shared_ptr<HttpServer> the_http_server;
// Written by Start, Stop and the rotation handler on different threads.
extern std::atomic<TimerId> the_last1min_refresh_timer_id;

// Where work started now runs: the calling thread's own io context when it
// is a thread of the agent's group, so that a request's store calls and
// timers stay on the thread of its connection; else the group's next
// context in turn; the_io_service once the group is gone.
std::shared_ptr<IoContext> AgentIo();

// A shared pointer that one thread may replace while others copy it: every
// access takes the slot's own lock, held only for the copy. Readers copy it
// into a local shared pointer and hold that.
class DatabaseSlot {
 public:
  operator std::shared_ptr<BillerDatabase>() const { return load(); }  // NOLINT: a copy
  std::shared_ptr<BillerDatabase> load() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return database_;
  }
  void store(std::shared_ptr<BillerDatabase> database) { exchange(std::move(database)); }
  // The previous value; the caller lets it go outside the lock.
  std::shared_ptr<BillerDatabase> exchange(std::shared_ptr<BillerDatabase> database) {
    std::lock_guard<std::mutex> lock(mutex_);
    database_.swap(database);
    return database;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<BillerDatabase> database_;  // GUARDED_BY(mutex_)
};

// The receipt database. Start and Stop replace it while flows and the
// counter provider copy it. Start and Stop also hold
// the_db_connection_mutex, which the counter provider takes too.
extern DatabaseSlot the_db_connection;
extern std::mutex the_db_connection_mutex;

// Requests in flight: dispatched (DispatchRequestMessage) and not yet
// answered (SendResponse). Thread-safe.
size_t RequestsInFlight();
// Waits until no request is in flight or `timeout` has passed; true when
// none is.
bool WaitForRequestsInFlight(std::chrono::milliseconds timeout);
// Answers every request still in flight with failure 2003, once; the
// answer its own flow gives later is dropped. Returns how many there were.
size_t AnswerRequestsInFlight();

// The database module's callback invoker: posts the call of `callback` with
// `result` onto the agent's io group (AgentIo), so every insert completes on
// the agent's event loop.
void InvokeDatabaseCallback(const BillerDatabase::InsertReceiptCallback& callback,
                            const BillerDatabase::InsertReceiptResult& result);

// Start's database steps: the module with InvokeDatabaseCallback, the
// database, the schema script, then installation or export, then the schema
// check. False after an export: the engine is shutting down and Start must
// start nothing more. Every failure ends the process.
bool StartReceiptDatabase(const std::string& address, const std::string& user,
                          const std::string& password, const std::string& database,
                          uint64_t connection_count, const std::string& character_set);
// Stop's database step: lets the database go, which finalises its client: a
// statement being run finishes, statements still waiting fail.
void StopReceiptDatabase();
// Start's statistics steps: the two counters, then the one-minute rotation
// timer when the api service runs.
void StartStatistics();

}  // namespace tvx

#endif  // SRC_BILLING_AGENT_STATE_H_
