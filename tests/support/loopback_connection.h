// One blocking TCP connection to 127.0.0.1, the transport under the tests'
// clients of the biller's TCP protocol and of HTTP servers.
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

  // Tries to connect until `patience` has passed (once when it is zero).
  bool Connect(int port, std::chrono::milliseconds patience = std::chrono::milliseconds(0));
  bool Send(const std::string& bytes);
  // True when the server closes the connection within the time (bytes that
  // arrive meanwhile are dropped).
  bool WaitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void Close();

 protected:
  // Reads until at least `size` bytes are in received(); false on time-out
  // or close.
  bool Fill(size_t size, Clock::time_point deadline);
  // Reads whatever comes next; false on time-out or close.
  bool ReadMore(Clock::time_point deadline);
  std::string& received() { return received_; }

 private:
  int fd_ = -1;
  std::string received_;  // not yet consumed by the protocol above
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_LOOPBACK_CONNECTION_H_
