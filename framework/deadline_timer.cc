#include "framework/deadline_timer.h"

#include <boost/asio/error.hpp>
#include <boost/asio/steady_timer.hpp>

namespace tvx {
namespace {

class AsioDeadlineTimer : public DeadlineTimer {
 public:
  explicit AsioDeadlineTimer(const std::shared_ptr<IoContext>& io) : io_(io), timer_(*io) {}

  size_t ExpiresAfter(std::chrono::microseconds delay) override {
    return timer_.expires_after(delay);
  }
  void AsyncWait(Handler handler) override { timer_.async_wait(std::move(handler)); }
  size_t Cancel() override { return timer_.cancel(); }

 private:
  std::shared_ptr<IoContext> io_;  // outlives timer_
  boost::asio::steady_timer timer_;
};

}  // namespace

bool DeadlineTimer::IsAborted(const boost::system::error_code& ec) {
  return ec == boost::asio::error::operation_aborted;
}

std::unique_ptr<DeadlineTimer> DeadlineTimer::Create(const std::shared_ptr<IoContext>& io) {
  return std::make_unique<AsioDeadlineTimer>(io);
}

}  // namespace tvx
