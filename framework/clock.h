// Clocks. Monotonic time is a signed 64-bit count of microseconds, used for
// durations; wall-clock time is a boost::posix_time::ptime in UTC.
#ifndef FRAMEWORK_CLOCK_H_
#define FRAMEWORK_CLOCK_H_

#include <chrono>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace tvx {

class MonotonicClock {
 public:
  // Microseconds since an arbitrary fixed point; never goes backwards.
  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

class WallClock {
 public:
  using Value = boost::posix_time::ptime;

  static const Value kEpochClock;  // 1970-01-01 00:00:00 UTC

  static Value Now() { return boost::posix_time::microsec_clock::universal_time(); }

  // The UTC time `msec` milliseconds after the epoch.
  static Value FromMsec(int64_t msec) {
    return kEpochClock + boost::posix_time::milliseconds(msec);
  }

  // Whole seconds since the epoch, truncated toward zero.
  static int64_t ToSeconds(const Value& value) {
    return (value - kEpochClock).total_microseconds() / 1000000;
  }
};

inline const WallClock::Value WallClock::kEpochClock{boost::gregorian::date(1970, 1, 1)};

}  // namespace tvx

#endif  // FRAMEWORK_CLOCK_H_
