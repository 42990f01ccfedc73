#include "tests/support/http_test_client.h"

#include <cstdlib>
#include <sstream>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace tvx::testing {

std::string MakeHttpRequest(const std::string& method, const std::string& target,
                            const std::string& body, const std::string& extra_headers) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!body.empty() || method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return request + extra_headers + "\r\n" + body;
}

std::optional<HttpReply> HttpTestConnection::Read(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string& pending = received();
  size_t header_end;
  while ((header_end = pending.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadMore(deadline)) return std::nullopt;
  }
  std::istringstream head(pending.substr(0, header_end));
  std::string line;
  if (!std::getline(head, line) || !line.starts_with("HTTP/") || line.size() < 12) {
    return std::nullopt;
  }
  HttpReply reply;
  reply.status = std::atoi(line.c_str() + 9);
  while (std::getline(head, line)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
      reply.headers[boost::algorithm::to_lower_copy(line.substr(0, colon))] =
          boost::algorithm::trim_copy(line.substr(colon + 1));
    }
  }
  const size_t length = std::strtoul(reply.Header("content-length").c_str(), nullptr, 10);
  if (!Fill(header_end + 4 + length, deadline)) return std::nullopt;
  reply.body = pending.substr(header_end + 4, length);
  pending.erase(0, header_end + 4 + length);
  return reply;
}

std::optional<HttpReply> HttpTestConnection::Exchange(const std::string& request,
                                                      std::chrono::milliseconds timeout) {
  if (!Send(request)) return std::nullopt;
  return Read(timeout);
}

}  // namespace tvx::testing
