#include "tests/support/tcp_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tvx::testing {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

TcpProxy::TcpProxy(int target_port) : target_port_(target_port) {
  // Close-on-exec throughout: a server the test starts must not inherit them.
  if (::pipe2(wake_, O_CLOEXEC) != 0) return;
  Listen();
  thread_ = std::thread(&TcpProxy::Run, this);
}

TcpProxy::~TcpProxy() {
  stopping_ = true;
  if (wake_[1] >= 0 && ::write(wake_[1], "x", 1) < 0) {
  }
  if (thread_.joinable()) thread_.join();
  Cut();
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

bool TcpProxy::Listen() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listener_ >= 0) return true;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address = Loopback(port_);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0) {
    ::close(fd);
    return false;
  }
  socklen_t size = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  port_ = ntohs(address.sin_port);
  listener_ = fd;
  return true;
}

void TcpProxy::Cut() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
  for (auto [a, b] : pairs_) {
    ::shutdown(a, SHUT_RDWR);
    ::shutdown(b, SHUT_RDWR);
    ::close(a);
    ::close(b);
  }
  pairs_.clear();
}

void TcpProxy::Restore() { Listen(); }

void TcpProxy::Run() {
  char buffer[16384];
  while (!stopping_) {
    std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
      for (auto [a, b] : pairs_) {
        fds.push_back({a, POLLIN, 0});
        fds.push_back({b, POLLIN, 0});
      }
    }
    // A short timeout picks up Cut and Restore made meanwhile.
    if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const pollfd& p : fds) {
      if (p.revents == 0 || p.fd == wake_[0]) continue;
      if (p.fd == listener_) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in target = Loopback(target_port_);
        if (::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
          ::close(server);
          ::close(client);
          continue;
        }
        pairs_.emplace_back(client, server);
        continue;
      }
      // Forward from this end to its partner; a closed end closes the pair.
      for (auto it = pairs_.begin(); it != pairs_.end(); ++it) {
        if (it->first != p.fd && it->second != p.fd) continue;
        const int to = it->first == p.fd ? it->second : it->first;
        const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
        if (n <= 0 || ::send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
          ::close(it->first);
          ::close(it->second);
          pairs_.erase(it);
        }
        break;
      }
    }
  }
}

}  // namespace tvx::testing
