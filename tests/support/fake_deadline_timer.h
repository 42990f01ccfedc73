// A DeadlineTimer that never fires: tests read its expiries and run waits by hand.
#ifndef TESTS_SUPPORT_FAKE_DEADLINE_TIMER_H_
#define TESTS_SUPPORT_FAKE_DEADLINE_TIMER_H_

#include <memory>
#include <utility>
#include <vector>

#include "framework/deadline_timer.h"

namespace tvx::testing {

struct FakeTimerState {
  std::vector<std::chrono::microseconds> expiries;
  DeadlineTimer::Handler pending;  // the wait now running
  DeadlineTimer::Handler last;     // the last wait started, even if cancelled since
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
  size_t Cancel() override { return Drop(); }

 private:
  // Unlike a real timer, the dropped wait is not run with "aborted".
  size_t Drop() { return std::exchange(state_->pending, nullptr) ? 1 : 0; }

  std::shared_ptr<FakeTimerState> state_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_DEADLINE_TIMER_H_
