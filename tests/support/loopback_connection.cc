#include "tests/support/loopback_connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <boost/beast/http.hpp>

namespace tvx::testing {

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
  while (fd_ >= 0 && !closed_) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd readable{fd_, POLLIN, 0};
    const int ready = left.count() < 0 ? 0 : ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[16384];
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n > 0) {
      received_.append(chunk, static_cast<size_t>(n));
      return true;
    }
    closed_ = n == 0 || errno != EINTR;
  }
  return false;
}

bool LoopbackConnection::Fill(size_t size, Clock::time_point deadline) {
  while (received_.size() < size && ReadMore(deadline)) {
  }
  return received_.size() >= size;
}

bool LoopbackConnection::WaitForClose(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (ReadMore(deadline)) received_.clear();
  return fd_ < 0 || closed_;
}

void LoopbackConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  closed_ = false;
  received_.clear();
}

std::string MakeHttpRequest(const std::string& method, const std::string& target,
                            const std::string& body, const std::string& extra_headers) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!body.empty() || method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return request + extra_headers + "\r\n" + body;
}

std::optional<HttpResult> HttpTestConnection::Read(std::chrono::milliseconds timeout) {
  namespace http = boost::beast::http;
  const auto deadline = Clock::now() + timeout;
  http::response_parser<http::string_body> parser;
  parser.eager(true);
  while (!parser.is_done()) {
    boost::beast::error_code error;
    const size_t used = parser.put(boost::asio::buffer(received()), error);
    received().erase(0, used);
    if (error && error != http::error::need_more) return std::nullopt;
    if ((error || used == 0) && !ReadMore(deadline)) return std::nullopt;
  }
  const auto& reply = parser.get();
  return HttpResult{static_cast<int>(reply.result_int()), reply.base(), reply.body()};
}

std::optional<HttpResult> HttpTestConnection::Exchange(const std::string& request,
                                                       std::chrono::milliseconds timeout) {
  if (!Send(request)) return std::nullopt;
  return Read(timeout);
}

}  // namespace tvx::testing
