// The Asio-backed DeadlineTimer keeps the promises the token caches rely on:
// a wait ends once, as expired or as cancelled, and re-arming reports the
// wait it cut short.
#include "framework/deadline_timer.h"

#include <future>

#include <gtest/gtest.h>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

using namespace std::chrono_literals;
using boost::system::error_code;

TEST(DeadlineTimerTest, WaitEndsAtExpiryOrWhenCutShort) {
  TestIoContext io;
  auto timer = DeadlineTimer::Create(io.io());

  std::promise<error_code> first;
  EXPECT_EQ(timer->ExpiresAfter(1h), 0u);
  timer->AsyncWait([&first](const error_code& ec) { first.set_value(ec); });
  // Re-arming cuts the hour-long wait short.
  const auto armed = std::chrono::steady_clock::now();
  EXPECT_EQ(timer->ExpiresAfter(20ms), 1u);
  auto first_result = first.get_future();
  ASSERT_EQ(first_result.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(DeadlineTimer::IsAborted(first_result.get()));

  std::promise<error_code> second;
  timer->AsyncWait([&second](const error_code& ec) { second.set_value(ec); });
  auto second_result = second.get_future();
  ASSERT_EQ(second_result.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(second_result.get());
  // Never before the expiry, however slow the machine.
  EXPECT_GE(std::chrono::steady_clock::now() - armed, 20ms);
  EXPECT_EQ(timer->Cancel(), 0u);  // nothing left to cancel
}

TEST(DeadlineTimerTest, CancelEndsAPendingWaitAsAborted) {
  TestIoContext io;
  auto timer = DeadlineTimer::Create(io.io());
  std::promise<error_code> waited;
  timer->ExpiresAfter(1h);
  timer->AsyncWait([&waited](const error_code& ec) { waited.set_value(ec); });
  EXPECT_EQ(timer->Cancel(), 1u);
  auto result = waited.get_future();
  ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(DeadlineTimer::IsAborted(result.get()));
  EXPECT_FALSE(DeadlineTimer::IsAborted(error_code()));
}

}  // namespace
}  // namespace tvx::testing
