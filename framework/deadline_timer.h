// A one-shot timer on an io context, for objects that own their timers (the
// store token caches keep one per cached token). Unlike Timer, which runs on
// the io group "default" and is looked up by id, a DeadlineTimer belongs to
// its owner and can be re-armed.
//
// Not thread-safe: the owner serializes every call, e.g. under its own mutex.
// Handlers run on a thread of the io context, never inside a call of this
// interface, so a handler may take the owner's mutex.
#ifndef FRAMEWORK_DEADLINE_TIMER_H_
#define FRAMEWORK_DEADLINE_TIMER_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include <boost/system/error_code.hpp>

#include "framework/io_service.h"

namespace tvx {

class DeadlineTimer {
 public:
  // Success at expiry; IsAborted(ec) when the wait was cancelled.
  using Handler = std::function<void(const boost::system::error_code&)>;

  virtual ~DeadlineTimer() = default;

  // Sets the expiry `delay` from now. Pending waits end as cancelled; returns
  // how many did.
  virtual size_t ExpiresAfter(std::chrono::microseconds delay) = 0;
  // Starts a wait for the current expiry.
  virtual void AsyncWait(Handler handler) = 0;
  // Ends pending waits as cancelled; returns how many did (0 when none was
  // pending, e.g. because the timer already fired).
  virtual size_t Cancel() = 0;

  // The error a cancelled wait gets.
  static bool IsAborted(const boost::system::error_code& ec);

  // A timer on `io`, which it keeps alive. Destroying the timer cancels its
  // wait.
  static std::unique_ptr<DeadlineTimer> Create(const std::shared_ptr<IoContext>& io);
};

}  // namespace tvx

#endif  // FRAMEWORK_DEADLINE_TIMER_H_
