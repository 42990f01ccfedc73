#include "tests/support/http_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace tvx::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  size_t end = text.find_last_not_of(" \t");
  return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

}  // namespace

std::string MakeHttpRequest(const std::string& method, const std::string& target,
                            const std::string& body, const std::string& extra_headers) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!body.empty() || method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return request + extra_headers + "\r\n" + body;
}

HttpTestConnection::~HttpTestConnection() { Close(); }

bool HttpTestConnection::Connect(int port) {
  Close();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    Close();
    return false;
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return true;
}

bool HttpTestConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

bool HttpTestConnection::Fill(Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending_.append(chunk, static_cast<size_t>(n));
    return true;
  }
}

std::optional<HttpReply> HttpTestConnection::Read(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  size_t header_end;
  while ((header_end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (!Fill(deadline)) return std::nullopt;
  }
  const std::string head = pending_.substr(0, header_end);
  if (head.compare(0, 5, "HTTP/") != 0 || head.size() < 12) return std::nullopt;
  HttpReply reply;
  reply.status = std::atoi(head.c_str() + 9);
  size_t line = head.find("\r\n");
  while (line != std::string::npos) {
    const size_t next = head.find("\r\n", line + 2);
    const std::string field = head.substr(line + 2, next == std::string::npos ? std::string::npos
                                                                                : next - line - 2);
    const size_t colon = field.find(':');
    if (colon != std::string::npos) {
      reply.headers[Lower(field.substr(0, colon))] = Trim(field.substr(colon + 1));
    }
    line = next;
  }
  const size_t length = std::strtoul(reply.Header("content-length").c_str(), nullptr, 10);
  while (pending_.size() < header_end + 4 + length) {
    if (!Fill(deadline)) return std::nullopt;
  }
  reply.body = pending_.substr(header_end + 4, length);
  pending_.erase(0, header_end + 4 + length);
  return reply;
}

std::optional<HttpReply> HttpTestConnection::Exchange(const std::string& request,
                                                      std::chrono::milliseconds timeout) {
  if (!Send(request)) return std::nullopt;
  return Read(timeout);
}

bool HttpTestConnection::WaitForClose(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return true;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return false;
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
}

void HttpTestConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

}  // namespace tvx::testing
