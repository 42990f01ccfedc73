// Blocking TCP connections to 127.0.0.1 for the tests' clients, and an
// HTTP/1.1 client for keep-alive, pipelining, partial requests and raw bytes.
#ifndef TESTS_SUPPORT_LOOPBACK_CONNECTION_H_
#define TESTS_SUPPORT_LOOPBACK_CONNECTION_H_

#include <chrono>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/fields.hpp>

namespace tvx::testing {

class LoopbackConnection {
 public:
  using Clock = std::chrono::steady_clock;

  LoopbackConnection();

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
  boost::asio::ip::tcp::socket socket_;
  bool closed_ = false;   // by the peer
  std::string received_;  // not yet consumed by the protocol above
};

struct HttpResult {
  int status = 0;  // 0 when no answer came
  boost::beast::http::fields headers;
  std::string body;

  std::string Header(const std::string& name) const { return std::string(headers[name]); }
};

// The text of a request; Content-Length is added when there is a body.
std::string MakeHttpRequest(const std::string& method, const std::string& target,
                            const std::string& body = "", const std::string& extra_headers = "");

class HttpTestConnection : public LoopbackConnection {
 public:
  // An interim 100 counts as an answer; nullopt on time-out, close or not HTTP.
  std::optional<HttpResult> Read(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::optional<HttpResult> Exchange(const std::string& request,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return Send(request) ? Read(timeout) : std::nullopt;
  }
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_LOOPBACK_CONNECTION_H_
