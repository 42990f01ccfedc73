// Polls a condition that another thread or process makes true.
#ifndef TESTS_SUPPORT_EVENTUALLY_H_
#define TESTS_SUPPORT_EVENTUALLY_H_

#include <chrono>
#include <functional>
#include <thread>

namespace tvx::testing {

inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_EVENTUALLY_H_
