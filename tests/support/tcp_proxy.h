// A loopback TCP forwarder for tests that take a server away and bring it
// back: it listens on a port of its own and joins every accepted connection to
// a new connection to the target.
#ifndef TESTS_SUPPORT_TCP_PROXY_H_
#define TESTS_SUPPORT_TCP_PROXY_H_

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvx::testing {

class TcpProxy {
 public:
  // Forwards to 127.0.0.1:target_port.
  explicit TcpProxy(int target_port);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int port() const { return port_; }
  // Closes every forwarded connection and stops listening: connecting is
  // refused until Restore.
  void Cut();
  // Listens again on the same port.
  void Restore();

 private:
  void Run();
  bool Listen();

  const int target_port_;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::mutex mutex_;
  int listener_ = -1;                         // GUARDED_BY(mutex_)
  std::vector<std::pair<int, int>> pairs_;    // GUARDED_BY(mutex_)
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_TCP_PROXY_H_
