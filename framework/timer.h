// One-shot timers on the io group "default". A timer fires at most once; its
// handler runs on one of the group's threads. Ids are unique for the life of
// the process and never kInvalidTimerId.
#ifndef FRAMEWORK_TIMER_H_
#define FRAMEWORK_TIMER_H_

#include <cstdint>
#include <functional>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "framework/clock.h"

namespace tvx {

using TimerId = uint64_t;

// Marks a timer whose handler runs as an ordinary event of the io group.
struct TimerEventTag {};
inline constexpr TimerEventTag kTimerEventTag{};

inline constexpr char kDefaultIoGroupName[] = "default";

class Timer {
 public:
  static constexpr TimerId kInvalidTimerId = 0;

  // Handler arguments: the timer's id and the wall-clock time it expired.
  using Handler = std::function<void(TimerId, const WallClock::Value&)>;

  // kInvalidTimerId when the io group "default" does not run.
  static TimerId ExpireAfter(const boost::posix_time::time_duration& duration, Handler handler,
                             TimerEventTag tag);

  // True when the timer was pending; its handler will not run.
  static bool Cancel(TimerId id);

  // Timers still pending (for tests and diagnostics).
  static size_t PendingCount();
};

class RawTimer {
 public:
  // Runs `handler` after `microseconds` (0 or less: as soon as possible).
  static TimerId ExpireAfter(int64_t microseconds, std::function<void()> handler);
  static bool Cancel(TimerId id) { return Timer::Cancel(id); }
};

}  // namespace tvx

#endif  // FRAMEWORK_TIMER_H_
