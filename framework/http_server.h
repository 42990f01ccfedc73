// HTTP/1.1 server on the io group: keep-alive, a body limit, read and idle
// deadlines. Handlers are looked up by exact path; the method is not
// examined. A handler answers once through HttpSocket::SendResponse, now or
// later, from any thread.
#ifndef FRAMEWORK_HTTP_SERVER_H_
#define FRAMEWORK_HTTP_SERVER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tvx {

namespace http {

// The parts of a received request that handlers read.
struct Request2 {
  std::string method;
  std::string target;  // path and query as sent
  std::string path;    // path alone
  std::string body;
};

}  // namespace http

// One request's answer channel.
class HttpSocket {
 public:
  virtual ~HttpSocket() = default;
  // Sends a 200 answer with this body and content type. Only the first call
  // of a request sends; later calls return false.
  virtual bool SendResponse(const std::string& body, const std::string& content_type) = 0;
  // Same with an explicit status code.
  virtual bool SendResponse(int status, const std::string& body,
                            const std::string& content_type) = 0;
};

class HttpServer {
 public:
  using Handler =
      std::function<void(const std::shared_ptr<HttpSocket>&, const std::shared_ptr<http::Request2>&)>;

  // Null when the io group does not run.
  static std::shared_ptr<HttpServer> Create(const std::string& io_group);
  virtual ~HttpServer() = default;

  // Register before Start. Requests to other paths get 404.
  virtual void RegisterHandler(const std::string& path, Handler handler) = 0;
  // Listens on 0.0.0.0:port. False when the port cannot be bound.
  virtual bool Start(uint16_t port) = 0;
  // Stops accepting and closes open connections.
  virtual void Stop() = 0;
  virtual uint16_t port() const = 0;
};

}  // namespace tvx

#endif  // FRAMEWORK_HTTP_SERVER_H_
