#include "tests/support/loopback_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace tvx::testing {
namespace {

bool WaitReadable(int fd, LoopbackConnection::Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - LoopbackConnection::Clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r > 0) return true;
    if (r == 0 || errno != EINTR) return false;
  }
}

}  // namespace

LoopbackConnection::~LoopbackConnection() { Close(); }

bool LoopbackConnection::Connect(int port, std::chrono::milliseconds patience) {
  Close();
  const auto deadline = Clock::now() + patience;
  for (;;) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{.sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)),
                     .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
      int one = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      return true;
    }
    Close();
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool LoopbackConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

bool LoopbackConnection::ReadMore(Clock::time_point deadline) {
  while (fd_ >= 0 && WaitReadable(fd_, deadline)) {
    char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    received_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  return false;
}

bool LoopbackConnection::Fill(size_t size, Clock::time_point deadline) {
  while (received_.size() < size && ReadMore(deadline)) {
  }
  return received_.size() >= size;
}

bool LoopbackConnection::WaitForClose(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return true;
  const auto deadline = Clock::now() + timeout;
  char chunk[16384];
  while (WaitReadable(fd_, deadline)) {
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return false;
}

void LoopbackConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  received_.clear();
}

}  // namespace tvx::testing
