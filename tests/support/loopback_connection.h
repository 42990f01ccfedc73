// One blocking TCP connection to 127.0.0.1, under the tests' clients.
#ifndef TESTS_SUPPORT_LOOPBACK_CONNECTION_H_
#define TESTS_SUPPORT_LOOPBACK_CONNECTION_H_

#include <chrono>
#include <string>

namespace tvx::testing {

class LoopbackConnection {
 public:
  using Clock = std::chrono::steady_clock;

  LoopbackConnection() = default;
  ~LoopbackConnection();
  LoopbackConnection(LoopbackConnection&& other) noexcept
      : fd_(other.fd_), received_(std::move(other.received_)) {
    other.fd_ = -1;
  }
  LoopbackConnection& operator=(LoopbackConnection&&) = delete;

  // Retries until `patience` has passed.
  bool Connect(int port, std::chrono::milliseconds patience = std::chrono::milliseconds(0));
  bool Send(const std::string& bytes);
  // Drops what arrives meanwhile.
  bool WaitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void Close();

 protected:
  // Both false on time-out or close.
  bool Fill(size_t size, Clock::time_point deadline);  // until received() has `size` bytes
  bool ReadMore(Clock::time_point deadline);
  std::string& received() { return received_; }

 private:
  int fd_ = -1;
  std::string received_;  // not yet consumed by the protocol above
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_LOOPBACK_CONNECTION_H_
