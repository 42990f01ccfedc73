// A blocking HTTP/1.1 client for keep-alive, pipelining, partial requests, raw bytes.
#ifndef TESTS_SUPPORT_HTTP_TEST_CLIENT_H_
#define TESTS_SUPPORT_HTTP_TEST_CLIENT_H_

#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "tests/support/loopback_connection.h"

namespace tvx::testing {

struct HttpReply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& lower_case_name) const {
    auto it = headers.find(lower_case_name);
    return it == headers.end() ? "" : it->second;
  }
};

// The text of a request; Content-Length is added when there is a body.
std::string MakeHttpRequest(const std::string& method, const std::string& target,
                            const std::string& body = "", const std::string& extra_headers = "");

class HttpTestConnection : public LoopbackConnection {
 public:
  // An interim 100 counts as an answer; nullopt on time-out, close or not HTTP.
  std::optional<HttpReply> Read(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::optional<HttpReply> Exchange(const std::string& request,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_HTTP_TEST_CLIENT_H_
