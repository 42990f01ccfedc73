#include "framework/deadline_timer.h"

#include <future>

#include <gtest/gtest.h>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

using namespace std::chrono_literals;
using boost::system::error_code;

// A wait ends once, as expired or as cancelled, and re-arming reports the
// wait it cut short: the token caches rely on it.
TEST(DeadlineTimerTest, WaitEndsAtExpiryOrAsAbortedWhenCutShort) {
  TestIoContext io;
  auto timer = DeadlineTimer::Create(io.io());
  auto wait = [&] {
    auto promise = std::make_shared<std::promise<error_code>>();
    timer->AsyncWait([promise](const error_code& ec) { promise->set_value(ec); });
    return promise->get_future();
  };
  EXPECT_EQ(timer->ExpiresAfter(1h), 0u);
  auto cancelled = wait();
  EXPECT_EQ(timer->Cancel(), 1u);
  EXPECT_EQ(timer->ExpiresAfter(1h), 0u);
  auto cut_short = wait();
  const auto armed = std::chrono::steady_clock::now();
  EXPECT_EQ(timer->ExpiresAfter(20ms), 1u);  // re-arming cuts the hour-long wait short
  auto expired = wait();
  for (auto* aborted : {&cancelled, &cut_short}) {
    ASSERT_EQ(aborted->wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(DeadlineTimer::IsAborted(aborted->get()));
  }
  ASSERT_EQ(expired.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(expired.get());  // no error: neither aborted nor failed
  EXPECT_GE(std::chrono::steady_clock::now() - armed, 20ms);
  EXPECT_EQ(timer->Cancel(), 0u);  // nothing left to cancel
}

}  // namespace
}  // namespace tvx::testing
