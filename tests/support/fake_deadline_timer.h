// A DeadlineTimer that never fires by itself: tests read the expiries the code
// under test set and run its waits by hand.
#ifndef TESTS_SUPPORT_FAKE_DEADLINE_TIMER_H_
#define TESTS_SUPPORT_FAKE_DEADLINE_TIMER_H_

#include <memory>
#include <mutex>
#include <vector>

#include "framework/deadline_timer.h"

namespace tvx::testing {

// What the code under test did with one timer.
struct FakeTimerState {
  std::vector<std::chrono::microseconds> expiries;
  DeadlineTimer::Handler pending;  // the wait now running
  DeadlineTimer::Handler last;     // the last wait started, even if cancelled since
  int cancels = 0;
};

class FakeDeadlineTimer : public DeadlineTimer {
 public:
  explicit FakeDeadlineTimer(std::shared_ptr<FakeTimerState> state) : state_(std::move(state)) {}

  size_t ExpiresAfter(std::chrono::microseconds delay) override {
    state_->expiries.push_back(delay);
    return Drop();
  }
  void AsyncWait(Handler handler) override {
    state_->pending = handler;
    state_->last = std::move(handler);
  }
  size_t Cancel() override {
    ++state_->cancels;
    return Drop();
  }

 private:
  // A real timer would run the dropped wait with "aborted"; the waits of the
  // code under test ignore that, so it is left out.
  size_t Drop() {
    if (!state_->pending) return 0;
    state_->pending = nullptr;
    return 1;
  }

  std::shared_ptr<FakeTimerState> state_;
};

// Hands out fake timers and keeps their states in creation order. The states
// are read by the test thread while the code under test works on its own
// threads: read them only once that code has settled.
class FakeTimerFactory {
 public:
  std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)> Factory() {
    return [this](const std::shared_ptr<IoContext>&) {
      std::lock_guard<std::mutex> lock(mutex_);
      states_.push_back(std::make_shared<FakeTimerState>());
      return std::make_unique<FakeDeadlineTimer>(states_.back());
    };
  }

  std::vector<std::shared_ptr<FakeTimerState>> states() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeTimerState>> states_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_DEADLINE_TIMER_H_
