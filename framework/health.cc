#include "framework/health.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <glog/logging.h>

#include "framework/clock.h"
#include "framework/mariadb.h"

namespace tvx::health {
namespace {

constexpr auto kPingInterval = std::chrono::seconds(1);

std::atomic<bool> serving{false};
std::atomic<bool> shutting_down{false};

// The probe. last_answer is the monotonic time of the last answered ping
// (0: none yet); last_error the reason of the last failed one.
std::mutex probe_mutex;
std::condition_variable probe_wakeup;
bool probe_stopping = false;                 // GUARDED_BY(probe_mutex)
std::string last_error;                      // GUARDED_BY(probe_mutex)
std::thread probe_thread;                    // started and joined by the host's thread
std::atomic<int64_t> last_answer{0};
std::atomic<bool> probe_started{false};

struct ProbeSettings {
  std::string address, user, password, database, character_set;
};

// Connects (again and again while it cannot) and pings once a second.
void PingLoop(const ProbeSettings& settings) {
  std::shared_ptr<Mariadb> connection;
  std::unique_lock<std::mutex> lock(probe_mutex);
  while (!probe_stopping) {
    lock.unlock();
    Mariadb::Error error;
    bool answered = false;
    if (!connection) {
      auto made = Mariadb::Create(settings.address, settings.user, settings.password,
                                  settings.database, 1, settings.character_set,
                                  Mariadb::kDefaultAutoRetryOnDeadlock,
                                  Mariadb::kDefaultClientFlags, 0,
                                  Mariadb::kDefaultConnectionFailureHandler);
      if (made && made->Initialize(&error)) connection = std::move(made);
    }
    if (connection) answered = connection->ExecuteQuerySync("SELECT 1", &error) != nullptr;
    lock.lock();
    if (answered) {
      last_answer = MonotonicClock::Now();
      last_error.clear();
    } else {
      last_error = error.message;
    }
    probe_wakeup.wait_for(lock, kPingInterval, [] { return probe_stopping; });
  }
  lock.unlock();
  if (connection) connection->Finalize();
}

}  // namespace

void SetServing(bool value) { serving = value; }

void BeginShutdown() { shutting_down = true; }

void StartDatabaseProbe(const std::string& address, const std::string& user,
                        const std::string& password, const std::string& database,
                        const std::string& character_set) {
  if (probe_started.exchange(true)) return;
  last_answer = MonotonicClock::Now();
  {
    std::lock_guard<std::mutex> lock(probe_mutex);
    probe_stopping = false;
  }
  probe_thread =
      std::thread(&PingLoop, ProbeSettings{address, user, password, database, character_set});
}

void StopDatabaseProbe() {
  {
    std::lock_guard<std::mutex> lock(probe_mutex);
    probe_stopping = true;
  }
  probe_wakeup.notify_all();
  if (probe_thread.joinable()) probe_thread.join();
  probe_started = false;
}

std::string NotReadyReason() {
  if (shutting_down) return "shutting down";
  if (!serving) return "not serving yet";
  if (!probe_started) return "";
  const int64_t age = MonotonicClock::Now() - last_answer.load();
  if (age <= std::chrono::duration_cast<std::chrono::microseconds>(kDatabasePingMaxAge).count()) {
    return "";
  }
  std::lock_guard<std::mutex> lock(probe_mutex);
  std::string reason = "the database has not answered for " + std::to_string(age / 1000000) + " s";
  if (!last_error.empty()) reason += ": " + last_error;
  return reason;
}

}  // namespace tvx::health
