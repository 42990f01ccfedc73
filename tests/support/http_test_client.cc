#include "tests/support/http_test_client.h"

#include <cctype>
#include <cstdlib>

namespace tvx::testing {
namespace {

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

std::optional<HttpReply> HttpTestConnection::Read(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string& pending = received();
  size_t header_end;
  while ((header_end = pending.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadMore(deadline)) return std::nullopt;
  }
  const std::string head = pending.substr(0, header_end);
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
