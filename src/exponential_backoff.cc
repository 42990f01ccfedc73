#include "src/exponential_backoff.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <boost/random/mersenne_twister.hpp>
#include <boost/random/uniform_int_distribution.hpp>
#include <glog/logging.h>

namespace tvx {
namespace {

// The low 32 bits of the first 8 bytes of /dev/urandom; bytes that cannot be
// read stay zero, so without the device every thread starts from seed 0.
uint32_t SeedFromUrandom() {
  unsigned char bytes[8] = {0};
  if (FILE* file = std::fopen("/dev/urandom", "rb")) {
    size_t got = std::fread(bytes, 1, sizeof(bytes), file);
    (void)got;
    std::fclose(file);
  }
  uint64_t buffer = 0;
  for (int i = 7; i >= 0; --i) buffer = buffer << 8 | bytes[i];
  return static_cast<uint32_t>(buffer);
}

boost::random::mt19937& ThreadGenerator() {
  thread_local boost::random::mt19937 generator(SeedFromUrandom());
  return generator;
}

}  // namespace

ExponentialBackoff::ExponentialBackoff(int64_t initial_wait_time, int64_t max_wait_time)
    : initial_wait_time_(initial_wait_time), max_wait_time_(max_wait_time) {
  if (!(max_wait_time_ > 0 && initial_wait_time > 0)) {
    LOG(FATAL) << "Assert failed: max_wait_time_ > 0 && initial_wait_time > 0" << ": "
               << "max_wait_time(" << max_wait_time << ") and initial_wait_time("
               << initial_wait_time << ") " << "must be greater than zero.";
  }
  if (!(initial_wait_time < max_wait_time_)) {
    LOG(FATAL) << "Assert failed: initial_wait_time < max_wait_time_" << ": "
               << "max_wait_time_(" << max_wait_time << ") must be greater than initial_wait_time("
               << initial_wait_time << ").";
  }
}

int64_t ExponentialBackoff::NextWaitTime() {
  // Past the ceiling the doubling is not needed (and would overflow).
  int64_t current_time_wait_ms = max_wait_time_;
  const double factor = std::pow(2.0, try_count_);
  if (factor < static_cast<double>(max_wait_time_ / initial_wait_time_) + 1) {
    current_time_wait_ms = static_cast<int64_t>(factor) * initial_wait_time_;
  }
  if (current_time_wait_ms >= max_wait_time_) {
    max_wait_time_reached_ = true;
    current_time_wait_ms = max_wait_time_;
  }
  if (!(current_time_wait_ms > 0)) LOG(FATAL) << "Assert failed: current_time_wait_ms > 0";

  boost::random::uniform_int_distribution<int64_t> draw(0, std::numeric_limits<int64_t>::max());
  const int64_t t = draw(ThreadGenerator()) % current_time_wait_ms;
  if (!(t >= 0 && t <= current_time_wait_ms)) {
    LOG(FATAL) << "Assert failed: t >= 0 && t <= current_time_wait_ms";
  }
  ++try_count_;
  return t;
}

void ExponentialBackoff::Reset() {
  try_count_ = 0;
  max_wait_time_reached_ = false;
}

}  // namespace tvx
