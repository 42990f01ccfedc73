// HTTP client for store requests, on libcurl's multi interface driven by an
// io context: no thread per request and no blocking call on an io thread.
// Every io context has one shared curl multi handle, so requests to the same
// host reuse kept-alive connections. https:// uses the system's CA store;
// plain http:// works too (tests talk to loopback servers).
//
// A store that does not answer cannot hold a request forever: every request
// has a connect timeout and a total timeout, after which it completes with a
// transport failure.
#ifndef FRAMEWORK_HTTP_CLIENT_H_
#define FRAMEWORK_HTTP_CLIENT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/io_service.h"

struct curl_slist;

namespace tvx {
namespace http {

// The transport outcome of one exchange. kOk means a complete HTTP answer
// arrived, whatever its status code. Every other value is a libcurl CURLcode
// number, so a logged value can be looked up in libcurl's documentation; the
// names below are the ones the biller meets, others pass through unnamed.
enum class TransportCode : int {
  kOk = 0,
  kUnsupportedProtocol = 1,
  kMalformedUrl = 3,
  kCouldNotResolveHost = 6,
  kCouldNotConnect = 7,
  kWriteError = 23,  // also: the answer's body exceeded the size limit
  kTimedOut = 28,
  kAborted = 42,  // the client's io context shut down
  kSslConnectError = 35,
  kGotNothing = 52,
  kSendError = 55,
  kReceiveError = 56,
  kPeerFailedVerification = 60,
};

// libcurl's text for the code.
std::string DescribeTransportCode(TransportCode code);
inline std::ostream& operator<<(std::ostream& os, TransportCode code) {
  return os << static_cast<int>(code);
}

// The parts of an answer the biller reads. status_code is 0 when no answer
// arrived.
struct Response {
  int status_code = 0;
  std::string body;
  // The final answer's header fields, names as the server wrote them.
  std::vector<std::pair<std::string, std::string>> headers{};
};

// Percent-encodes every byte but the unreserved characters (A-Z a-z 0-9 - . _
// ~). Fit for URL path segments, query values and form values alike.
std::string UrlEncode(std::string_view text);

// An application/x-www-form-urlencoded body: name=value pairs joined by '&',
// each name and value URL-encoded, so values containing '&', '=' or '+'
// arrive intact.
std::string MakeFormBody(const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace http

// One client's headers and settings; each request copies them when it is
// sent (the header lines are built once and shared until they change). Not thread-safe: configure it, then send from one thread at a time.
// Requests may be in flight in any number; each handler runs once, on a
// thread of the io context, never inside PostAsync or GetAsync.
class HttpClient {
 public:
  using Handler = std::function<void(http::TransportCode, const http::Response&)>;

  static constexpr int64_t kDefaultConnectTimeoutMs = 5000;
  static constexpr int64_t kDefaultTimeoutMs = 30000;
  static constexpr size_t kDefaultMaxResponseBytes = 4 * 1024 * 1024;

  // `io` runs the transfers and the handlers. The client does not keep the
  // io context alive; requests sent after it is gone complete with kAborted.
  explicit HttpClient(const std::shared_ptr<IoContext>& io);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // Sets a request header, replacing one of the same name (names compare
  // case-insensitively).
  void SetHeader(const std::string& name, const std::string& value);
  // Removes every header set so far.
  void ResetHeader();

  // Connect timeout and total timeout of later requests (milliseconds, above
  // 0). The defaults come from --http_client_connect_timeout_ms and
  // --http_client_timeout_ms.
  void SetTimeouts(int64_t connect_timeout_ms, int64_t total_timeout_ms);
  // Answers with a longer body fail with TransportCode::kWriteError.
  void SetMaxResponseBytes(size_t bytes);
  // https:// servers are verified against the CA certificates of this PEM
  // file instead of the system's; empty restores the system's.
  void SetCaFile(const std::string& path) { ca_file_ = path; }

  // POSTs `body` to `url`. `timeout_ms` overrides the total timeout of this
  // request; 0 keeps the client's.
  void PostAsync(const std::string& url, std::shared_ptr<const std::string> body, Handler handler,
                 int64_t timeout_ms);
  // GETs `url`; `timeout_ms` as for PostAsync.
  void GetAsync(const std::string& url, Handler handler, int64_t timeout_ms);

 private:
  void Send(const std::string& url, std::shared_ptr<const std::string> body, Handler handler,
            int64_t timeout_ms);

  std::weak_ptr<IoContext> io_;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::shared_ptr<const curl_slist> header_list_;  // headers_ as curl takes them; null: not built
  int64_t connect_timeout_ms_;
  int64_t timeout_ms_;
  size_t max_response_bytes_ = kDefaultMaxResponseBytes;
  std::string ca_file_;
};

}  // namespace tvx

#endif  // FRAMEWORK_HTTP_CLIENT_H_
