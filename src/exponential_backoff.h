// ExponentialBackoff: the retry delays of one validation request. The upper
// bound of the n-th delay is initial * 2^n microseconds, capped at the maximum;
// each delay is drawn uniformly below its bound. Used by one request's
// callbacks one after another, so it needs no lock.
#ifndef SRC_EXPONENTIAL_BACKOFF_H_
#define SRC_EXPONENTIAL_BACKOFF_H_

#include <cstdint>

namespace tvx {

class ExponentialBackoff {
 public:
  // Both times in microseconds; 0 < initial_wait_time < max_wait_time.
  ExponentialBackoff(int64_t initial_wait_time, int64_t max_wait_time);
  virtual ~ExponentialBackoff() = default;

  // The next delay in microseconds, in [0, bound - 1]; counts one try.
  int64_t NextWaitTime();

  int32_t try_count() const { return try_count_; }
  bool max_wait_time_reached() const { return max_wait_time_reached_; }
  void Reset();

 private:
  int64_t initial_wait_time_;
  int64_t max_wait_time_;
  int32_t try_count_ = 0;
  bool max_wait_time_reached_ = false;
};

// The policy every store flow uses: 2 s initial bound, 256 s ceiling.
inline constexpr int64_t kBackoffInitialWaitTime = 2000000;
inline constexpr int64_t kBackoffMaxWaitTime = 256000000;

}  // namespace tvx

#endif  // SRC_EXPONENTIAL_BACKOFF_H_
