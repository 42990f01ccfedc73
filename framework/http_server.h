// HTTP/1.1 server on an io group: keep-alive, a body limit, read, idle, write
// and response deadlines, and a cap on open connections. Handlers are looked
// up by exact path (then by the longest registered prefix); the method is not
// examined. A handler answers once through HttpSocket::SendResponse, now or
// later, from any thread.
//
// A connection serves one request at a time: the next request is read only
// after the answer to the previous one is written, so answers leave in request
// order and a client cannot queue work without bound.
#ifndef FRAMEWORK_HTTP_SERVER_H_
#define FRAMEWORK_HTTP_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tvx {

class TcpSSLOption;

namespace http {

// Header fields as (name, value) pairs.
using Fields = std::vector<std::pair<std::string, std::string>>;

// The parts of a received request that handlers read.
struct Request2 {
  std::string method;
  std::string target;  // path and query as sent
  std::string path;    // path alone
  std::string body;
  // Only the fields named in HttpServerOptions::kept_headers, each
  // occurrence in arrival order, under the name as registered.
  Fields headers;
};

}  // namespace http

// One request's answer channel. Holds no reference to the connection's
// resources: keeping it does not keep a closed connection alive.
class HttpSocket {
 public:
  virtual ~HttpSocket() = default;
  // Sends a 200 answer with this body and content type. Only the first call
  // of a request sends; later calls return false, and so does a call after
  // the connection has gone. Thread-safe.
  virtual bool SendResponse(const std::string& body, const std::string& content_type) = 0;
  // Same with an explicit status code.
  virtual bool SendResponse(int status, const std::string& body,
                            const std::string& content_type) = 0;
  // Same with extra response header fields; names and values must hold no
  // line ends. A socket that cannot send fields answers without them.
  virtual bool SendResponse(int status, const std::string& body, const std::string& content_type,
                            const http::Fields& /*fields*/) {
    return SendResponse(status, body, content_type);
  }
};

struct HttpServerOptions {
  // The address the listener binds.
  std::string bind_address = "0.0.0.0";
  // Largest request body; a larger one is answered 413 and the connection is
  // closed.
  size_t body_limit = 1024 * 1024;
  // Largest request line plus headers; beyond it 431 and close.
  size_t header_limit = 16 * 1024;
  // A kept-alive connection with no request under way is closed after this.
  std::chrono::milliseconds idle_timeout{60'000};
  // From a request's first byte to its last; the connection is closed when
  // the client is slower.
  std::chrono::milliseconds read_timeout{30'000};
  // Writing one answer.
  std::chrono::milliseconds write_timeout{30'000};
  // A handler that has not answered by then is answered 503 on its behalf,
  // and the connection is closed; its later answer is dropped. Generous:
  // a validation may retry an unreachable store for many minutes before it
  // answers; this only keeps a forgotten request from holding its
  // connection forever.
  std::chrono::milliseconds response_timeout{30 * 60'000};
  // Connections accepted beyond this many open ones are closed at once.
  size_t max_connections = 10'000;
  // Request header fields handed to handlers (names are matched without
  // regard to case); all others are read and dropped.
  std::vector<std::string> kept_headers;
  // When set, every connection speaks TLS; one whose handshake fails or
  // takes longer than `handshake_timeout` (0: no limit) is closed.
  std::shared_ptr<TcpSSLOption> tls;
  std::chrono::milliseconds handshake_timeout{30'000};
};

class HttpServer {
 public:
  using Handler =
      std::function<void(const std::shared_ptr<HttpSocket>&, const std::shared_ptr<http::Request2>&)>;

  // Null when the io group does not run.
  static std::shared_ptr<HttpServer> Create(const std::string& io_group,
                                            const HttpServerOptions& options = {});
  virtual ~HttpServer() = default;

  // Register before Start; later registrations are refused (false). Requests
  // to other paths get 404. A handler runs on the io group; a handler that
  // lets go of its HttpSocket without answering gets a 500 sent for it.
  virtual bool RegisterHandler(const std::string& path, Handler handler) = 0;
  // Serves every path that begins with `prefix` and has no exact handler;
  // the longest matching prefix wins.
  virtual bool RegisterPrefixHandler(const std::string& prefix, Handler handler) = 0;
  // Listens on the options' bind address and `port` (0 picks a free port).
  // False when it cannot be bound or the server was started before.
  virtual bool Start(uint16_t port) = 0;
  // Stops accepting at once; open connections read no further requests,
  // write the answers of requests under way (then close) and close at once
  // when none is under way. Safe more than once, from any thread.
  virtual void Drain() = 0;
  // Stops accepting and closes open connections; answers still to come are
  // dropped. Safe to call more than once, from any thread.
  virtual void Stop() = 0;
  // The bound port; 0 before Start.
  virtual uint16_t port() const = 0;
  // Connections currently open (for tests and diagnostics).
  virtual size_t ConnectionCount() const = 0;
};

}  // namespace tvx

#endif  // FRAMEWORK_HTTP_SERVER_H_
