#include "framework/timer.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "framework/io_service.h"

namespace tvx {
namespace {

std::atomic<TimerId> next_timer_id{1};
std::mutex timers_mutex;
// Pending timers. An entry is removed by whichever comes first, expiry or
// Cancel; only the remover may run or drop the handler.
std::unordered_map<TimerId, std::shared_ptr<boost::asio::steady_timer>> timers;  // GUARDED_BY

bool TakeTimer(TimerId id, std::shared_ptr<boost::asio::steady_timer>* out) {
  std::lock_guard<std::mutex> lock(timers_mutex);
  auto it = timers.find(id);
  if (it == timers.end()) return false;
  if (out) *out = std::move(it->second);
  timers.erase(it);
  return true;
}

TimerId Arm(std::chrono::microseconds delay, std::function<void(TimerId)> fire) {
  auto io = IoService::GetIoGroup(kDefaultIoGroupName);
  if (!io) return Timer::kInvalidTimerId;
  const TimerId id = next_timer_id.fetch_add(1);
  auto timer = std::make_shared<boost::asio::steady_timer>(*io);
  timer->expires_after(delay < std::chrono::microseconds::zero() ? std::chrono::microseconds::zero()
                                                                  : delay);
  {
    std::lock_guard<std::mutex> lock(timers_mutex);
    timers.emplace(id, timer);
  }
  timer->async_wait([id, fire = std::move(fire)](const boost::system::error_code&) {
    // A cancelled timer was already taken out by Cancel.
    if (TakeTimer(id, nullptr)) fire(id);
  });
  return id;
}

}  // namespace

TimerId Timer::ExpireAfter(const boost::posix_time::time_duration& duration, Handler handler,
                           TimerEventTag) {
  return Arm(std::chrono::microseconds(duration.total_microseconds()),
             [handler = std::move(handler)](TimerId id) { handler(id, WallClock::Now()); });
}

bool Timer::Cancel(TimerId id) {
  std::shared_ptr<boost::asio::steady_timer> timer;
  if (!TakeTimer(id, &timer)) return false;
  // The entry is gone, so the handler can no longer run; cancelling on the
  // timer's own executor only releases the wait early, without touching the
  // timer from a foreign thread.
  boost::asio::post(timer->get_executor(), [timer] { timer->cancel(); });
  return true;
}

size_t Timer::PendingCount() {
  std::lock_guard<std::mutex> lock(timers_mutex);
  return timers.size();
}

TimerId RawTimer::ExpireAfter(int64_t microseconds, std::function<void()> handler) {
  return Arm(std::chrono::microseconds(microseconds),
             [handler = std::move(handler)](TimerId) { handler(); });
}

}  // namespace tvx
