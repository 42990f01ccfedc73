#include "tests/support/loopback_connection.h"

#include <fcntl.h>
#include <poll.h>

#include <thread>

#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>

namespace tvx::testing {

using boost::asio::ip::tcp;

namespace {
boost::asio::io_context& SocketContext() {
  static boost::asio::io_context context;  // never run: the sockets' calls all block
  return context;
}
}  // namespace

LoopbackConnection::LoopbackConnection() : socket_(SocketContext()) {}

bool LoopbackConnection::Connect(int port, std::chrono::milliseconds patience) {
  Close();
  const auto deadline = Clock::now() + patience;
  const tcp::endpoint peer(boost::asio::ip::address_v4::loopback(), static_cast<uint16_t>(port));
  for (;;) {
    boost::system::error_code error;
    socket_.open(tcp::v4());
    ::fcntl(socket_.native_handle(), F_SETFD, FD_CLOEXEC);  // kept from billers started later
    socket_.connect(peer, error);
    if (!error) break;
    socket_.close();
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  socket_.set_option(tcp::no_delay(true));
  return true;
}

bool LoopbackConnection::Send(const std::string& bytes) {
  boost::system::error_code error;
  boost::asio::write(socket_, boost::asio::buffer(bytes), error);
  return !error;
}

bool LoopbackConnection::ReadMore(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd readable{socket_.native_handle(), POLLIN, 0};
  if (!socket_.is_open() || closed_ ||
      ::poll(&readable, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) {
    return false;
  }
  char chunk[16384];
  boost::system::error_code error;
  received_.append(chunk, socket_.read_some(boost::asio::buffer(chunk), error));
  closed_ = error.failed();
  return !closed_;
}

bool LoopbackConnection::Fill(size_t size, Clock::time_point deadline) {
  while (received_.size() < size && ReadMore(deadline)) {
  }
  return received_.size() >= size;
}

bool LoopbackConnection::WaitForClose(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (ReadMore(deadline)) received_.clear();
  return !socket_.is_open() || closed_;
}

void LoopbackConnection::Close() {
  socket_.close();
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

}  // namespace tvx::testing
