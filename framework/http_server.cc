#include "framework/http_server.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <glog/logging.h>

#include "framework/acceptor.h"
#include "framework/io_service.h"
#include "framework/tcp.h"

namespace tvx {
namespace {

namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using boost::asio::ip::tcp;

// Each read takes at most this much from the socket; the parser's own limits
// bound what a request may hold.
constexpr size_t kMaxReadBytes = 64 * 1024;
// After an answer that closes the connection the server stops sending and
// reads what the client still sends for a while, so that the client sees the
// answer instead of a reset.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr size_t kMaxLingerBytes = 4 * 1024 * 1024;

constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

bool IsHttpParseError(const beast::error_code& ec) {
  return &ec.category() == &bhttp::make_error_code(bhttp::error::bad_method).category();
}

class Connection;

// What the server and its connections share. The routes are written before
// Start and only read afterwards, so they need no lock.
struct ServerState {
  explicit ServerState(const HttpServerOptions& options) : options(options) {}

  const HttpServer::Handler* Find(const std::string& path) const {
    if (auto it = exact.find(path); it != exact.end()) return &it->second;
    for (const auto& [prefix, handler] : prefixes) {
      if (path.starts_with(prefix)) return &handler;
    }
    return nullptr;
  }

  // False once the server is stopping; the caller then drops the connection.
  bool Adopt(const std::shared_ptr<Connection>& connection);
  void Forget(const Connection* connection) {
    std::lock_guard<std::mutex> lock(mutex);
    live.erase(connection);
  }

  const HttpServerOptions options;
  std::unordered_map<std::string, HttpServer::Handler> exact;
  std::vector<std::pair<std::string, HttpServer::Handler>> prefixes;  // longest first
  std::atomic<size_t> open_connections{0};
  // Set once: connections read no further requests.
  std::atomic<bool> draining{false};

  std::mutex mutex;
  bool stopped = false;                                                   // GUARDED_BY(mutex)
  std::unordered_map<const Connection*, std::weak_ptr<Connection>> live;  // GUARDED_BY(mutex)
};

// What the server and the answer channels see of a connection, whatever its
// stream. Every method may be called from any thread.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  virtual ~Connection() = default;
  virtual void Run() = 0;
  virtual void Close() = 0;
  // Reads no further request; a request under way is answered, then the
  // connection closes.
  virtual void Drain() = 0;
  // `seq` names the request the answer belongs to; an answer to a request
  // that was already answered for (time-out) is dropped.
  virtual void PostAnswer(uint64_t seq, int status, std::string body,
                          std::string content_type, http::Fields fields) = 0;
};

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// One accepted connection over a plain or a TLS stream. Every member is
// touched only on the connection's strand; the object lives as long as one
// of its asynchronous operations (a handshake, a read, a write, or the wait
// for a handler's answer) is pending.
template <class Stream>
class StreamConnection final : public Connection {
 public:
  // `tls`: the server's TLS context, for a TlsStream only.
  template <class... Tls>
  StreamConnection(tcp::socket&& socket, std::shared_ptr<ServerState> state, Tls&... tls)
      : state_(std::move(state)),
        stream_(std::move(socket), tls...),
        response_timer_(stream_.get_executor()) {
    state_->open_connections.fetch_add(1, std::memory_order_relaxed);
  }

  ~StreamConnection() override {
    state_->Forget(this);
    state_->open_connections.fetch_sub(1, std::memory_order_relaxed);
  }

  void Run() override {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      boost::asio::dispatch(stream_.get_executor(),
                            beast::bind_front_handler(&StreamConnection::Handshake, Self()));
    } else {
      boost::asio::dispatch(stream_.get_executor(),
                            beast::bind_front_handler(&StreamConnection::WaitForRequest, Self()));
    }
  }

  void Close() override {
    boost::asio::post(stream_.get_executor(), [self = Self()] { self->CloseNow(); });
  }

  void Drain() override {
    boost::asio::post(stream_.get_executor(), [self = Self()] {
      if (self->awaiting_answer_ || self->writing_) {
        self->keep_alive_ = false;
      } else {
        self->CloseNow();
      }
    });
  }

  void PostAnswer(uint64_t seq, int status, std::string body, std::string content_type,
                  http::Fields fields) override {
    boost::asio::post(stream_.get_executor(),
                      [self = Self(), seq, status, body = std::move(body),
                       content_type = std::move(content_type),
                       fields = std::move(fields)]() mutable {
                        self->OnAnswer(seq, status, std::move(body), std::move(content_type),
                                       fields);
                      });
  }

 private:
  std::shared_ptr<StreamConnection> Self() {
    return std::static_pointer_cast<StreamConnection>(shared_from_this());
  }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  // Bounded by the handshake timeout; a failed handshake closes the
  // connection and frees its place.
  void Handshake() {
    if (closed_) return;
    if (state_->options.handshake_timeout.count() > 0) {
      Lowest().expires_after(state_->options.handshake_timeout);
    }
    // Taken now: a time-out closes the socket before the handler runs.
    beast::error_code ignored;
    const tcp::endpoint peer = Lowest().socket().remote_endpoint(ignored);
    stream_.async_handshake(
        boost::asio::ssl::stream_base::server,
        beast::bind_front_handler(&StreamConnection::OnHandshake, Self(), peer));
  }

  void OnHandshake(const tcp::endpoint& peer, const beast::error_code& ec) {
    if (ec) {
      LOG(WARNING) << "HttpServer: TLS handshake with " << peer.address().to_string() << ":"
                   << peer.port() << " failed: " << ec.message();
      return CloseNow();
    }
    WaitForRequest();
  }

  void WaitForRequest() {
    if (closed_) return;
    if (state_->draining) return CloseNow();
    // Bytes of a pipelined request are already here.
    if (buffer_.size() > 0) return ReadHeader();
    Lowest().expires_after(state_->options.idle_timeout);
    stream_.async_read_some(
        buffer_.prepare(beast::read_size(buffer_, kMaxReadBytes)),
        beast::bind_front_handler(&StreamConnection::OnFirstBytes, Self()));
  }

  void OnFirstBytes(const beast::error_code& ec, size_t bytes) {
    if (ec) return CloseNow();  // idle time-out, or the client went away
    buffer_.commit(bytes);
    ReadHeader();
  }

  void ReadHeader() {
    if (closed_) return;
    parser_.emplace();
    parser_->header_limit(static_cast<uint32_t>(state_->options.header_limit));
    parser_->body_limit(state_->options.body_limit);
    // Parse a body that arrived with the header at once, so that a small
    // request takes one read.
    parser_->eager(true);
    // One deadline from the first byte to the last.
    Lowest().expires_after(state_->options.read_timeout);
    bhttp::async_read_header(stream_, buffer_, *parser_,
                             beast::bind_front_handler(&StreamConnection::OnHeader, Self()));
  }

  void OnHeader(const beast::error_code& ec, size_t /*bytes*/) {
    if (ec) return OnReadError(ec);
    if (parser_->is_done()) return Dispatch();
    if (beast::iequals(parser_->get()[bhttp::field::expect], "100-continue")) {
      boost::asio::async_write(
          stream_, boost::asio::buffer(kContinue, sizeof(kContinue) - 1),
          beast::bind_front_handler(&StreamConnection::OnContinueSent, Self()));
      return;
    }
    ReadBody();
  }

  void OnContinueSent(const beast::error_code& ec, size_t /*bytes*/) {
    if (ec) return CloseNow();
    ReadBody();
  }

  void ReadBody() {
    bhttp::async_read(stream_, buffer_, *parser_,
                      beast::bind_front_handler(&StreamConnection::OnBody, Self()));
  }

  void OnBody(const beast::error_code& ec, size_t /*bytes*/) {
    if (ec) return OnReadError(ec);
    Dispatch();
  }

  void OnReadError(const beast::error_code& ec) {
    if (ec == bhttp::error::body_limit) return Refuse(413, "request body too large\n");
    if (ec == bhttp::error::header_limit) return Refuse(431, "request header too large\n");
    // A client that closes or stalls mid-request gets nothing back.
    if (ec == bhttp::error::end_of_stream || ec == bhttp::error::partial_message ||
        !IsHttpParseError(ec)) {
      return CloseNow();
    }
    Refuse(400, "bad request\n");
  }

  // Defined after ResponseChannel.
  void Dispatch();

  void OnResponseTimeout(uint64_t seq, const beast::error_code& ec) {
    if (ec || closed_ || !awaiting_answer_ || seq != seq_) return;
    awaiting_answer_ = false;
    LOG(WARNING) << "HttpServer: no answer to " << path_ << " within "
                 << state_->options.response_timeout.count() << " ms; answering 503";
    keep_alive_ = false;
    WriteAnswer(503, "no answer\n", "text/plain");
  }

  void OnAnswer(uint64_t seq, int status, std::string body, std::string content_type,
                const http::Fields& fields) {
    if (closed_ || !awaiting_answer_ || seq != seq_) return;
    awaiting_answer_ = false;
    response_timer_.cancel();
    WriteAnswer(status, std::move(body), content_type, fields);
  }

  // An answer that ends the connection: the request could not be read.
  void Refuse(int status, const char* text) {
    keep_alive_ = false;
    if (parser_ && parser_->is_header_done()) version_ = parser_->get().version();
    parser_.reset();
    WriteAnswer(status, text, "text/plain");
  }

  void WriteAnswer(int status, std::string body, const std::string& content_type,
                   const http::Fields& fields = {}) {
    if (closed_) return;
    // Only final statuses may be sent, and 204 and 304 carry no body.
    if (status < 200 || status > 599) status = 500;
    if (status == 204 || status == 304) body.clear();
    response_.clear();
    response_.version(version_);
    response_.result(static_cast<unsigned>(status));
    response_.set(bhttp::field::content_type, content_type);
    for (const auto& [name, value] : fields) {
      if (name.find_first_of("\r\n") != std::string::npos ||
          value.find_first_of("\r\n") != std::string::npos) {
        continue;
      }
      response_.insert(name, value);
    }
    response_.keep_alive(keep_alive_);
    response_.body() = std::move(body);
    response_.prepare_payload();
    writing_ = true;
    Lowest().expires_after(state_->options.write_timeout);
    bhttp::async_write(stream_, response_,
                       beast::bind_front_handler(&StreamConnection::OnWritten, Self(),
                                                 keep_alive_));
  }

  void OnWritten(bool keep_alive, const beast::error_code& ec, size_t /*bytes*/) {
    writing_ = false;
    if (ec) return CloseNow();
    response_.body().clear();
    if (!keep_alive) return Linger();
    WaitForRequest();
  }

  void Linger() {
    beast::error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    buffer_.clear();
    Lowest().expires_after(kLingerTime);
    LingerRead();
  }

  void LingerRead() {
    if (closed_) return;
    buffer_.consume(buffer_.size());
    Lowest().async_read_some(buffer_.prepare(16 * 1024),
                             [self = Self()](const beast::error_code& ec, size_t n) {
                               self->lingered_bytes_ += n;
                               if (ec || self->lingered_bytes_ > kMaxLingerBytes) {
                                 return self->CloseNow();
                               }
                               self->LingerRead();
                             });
  }

  void CloseNow() {
    if (closed_) return;
    closed_ = true;
    awaiting_answer_ = false;
    response_timer_.cancel();
    beast::error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Lowest().close();
  }

  const std::shared_ptr<ServerState> state_;
  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  bhttp::response<bhttp::string_body> response_;
  boost::asio::steady_timer response_timer_;
  std::string path_;          // of the request being answered, for logs
  uint64_t seq_ = 0;          // requests handed to handlers so far
  unsigned version_ = 11;     // of the request being answered
  bool keep_alive_ = true;    // of the request being answered
  bool awaiting_answer_ = false;
  bool writing_ = false;
  bool closed_ = false;
  size_t lingered_bytes_ = 0;
};

bool ServerState::Adopt(const std::shared_ptr<Connection>& connection) {
  std::lock_guard<std::mutex> lock(mutex);
  if (stopped) return false;
  live.emplace(connection.get(), connection);
  return true;
}

// The HttpSocket handed to a handler: a weak link to the connection and the
// number of the request it answers.
class ResponseChannel final : public HttpSocket {
 public:
  ResponseChannel(std::weak_ptr<Connection> connection, uint64_t seq)
      : connection_(std::move(connection)), seq_(seq) {}

  ~ResponseChannel() override {
    // Every request ends in an answer, also when its handler forgot it.
    if (!answered_.exchange(true)) {
      LOG(ERROR) << "HttpServer: a handler let go of its request without answering";
      Deliver(500, "no answer\n", "text/plain", {});
    }
  }

  bool SendResponse(const std::string& body, const std::string& content_type) override {
    return SendResponse(200, body, content_type);
  }

  bool SendResponse(int status, const std::string& body,
                    const std::string& content_type) override {
    return SendResponse(status, body, content_type, {});
  }

  bool SendResponse(int status, const std::string& body, const std::string& content_type,
                    const http::Fields& fields) override {
    if (answered_.exchange(true)) return false;
    return Deliver(status, body, content_type, fields);
  }

 private:
  bool Deliver(int status, const std::string& body, const std::string& content_type,
               const http::Fields& fields) {
    auto connection = connection_.lock();
    if (!connection) return false;
    connection->PostAnswer(seq_, status, body, content_type, fields);
    return true;
  }

  const std::weak_ptr<Connection> connection_;
  const uint64_t seq_;
  std::atomic<bool> answered_{false};
};

template <class Stream>
void StreamConnection<Stream>::Dispatch() {
  auto message = parser_->release();
  parser_.reset();
  keep_alive_ = message.keep_alive();
  version_ = message.version();

  auto request = std::make_shared<http::Request2>();
  request->method = std::string(message.method_string());
  request->target = std::string(message.target());
  request->path = request->target.substr(0, request->target.find('?'));
  request->body = std::move(message.body());
  for (const std::string& name : state_->options.kept_headers) {
    for (auto [at, end] = message.equal_range(name); at != end; ++at) {
      request->headers.emplace_back(name, std::string(at->value()));
    }
  }

  const HttpServer::Handler* handler = state_->Find(request->path);
  if (!handler) return WriteAnswer(404, "not found\n", "text/plain");

  ++seq_;
  awaiting_answer_ = true;
  path_ = request->path;
  response_timer_.expires_after(state_->options.response_timeout);
  response_timer_.async_wait(
      beast::bind_front_handler(&StreamConnection::OnResponseTimeout, Self(), seq_));
  // The handler may answer before it returns; the answer is posted, so it is
  // written after this call has unwound.
  (*handler)(std::make_shared<ResponseChannel>(weak_from_this(), seq_), request);
}

class HttpServerImpl final : public HttpServer {
 public:
  HttpServerImpl(std::shared_ptr<IoContext> io, const std::string& io_group,
                 const HttpServerOptions& options)
      : io_(std::move(io)),
        state_(std::make_shared<ServerState>(options)),
        acceptor_(std::make_shared<Acceptor>(
            *io_, Acceptor::Options{.name = "HttpServer", .max_connections = options.max_connections},
            [state = state_, io_group](tcp::socket accepted) {
              Connect(state, io_group, std::move(accepted));
            },
            [state = state_] { return state->open_connections.load(std::memory_order_relaxed); })) {}

  ~HttpServerImpl() override { Stop(); }

  bool RegisterHandler(const std::string& path, Handler handler) override {
    if (started_ || !handler) return false;
    state_->exact[path] = std::move(handler);
    return true;
  }

  bool RegisterPrefixHandler(const std::string& prefix, Handler handler) override {
    if (started_ || !handler) return false;
    auto& prefixes = state_->prefixes;
    std::erase_if(prefixes, [&](const auto& entry) { return entry.first == prefix; });
    prefixes.emplace_back(prefix, std::move(handler));
    std::stable_sort(prefixes.begin(), prefixes.end(), [](const auto& a, const auto& b) {
      return a.first.size() > b.first.size();
    });
    return true;
  }

  bool Start(uint16_t port) override {
    if (started_.exchange(true)) return false;
    std::string error;
    if (!acceptor_->Listen(state_->options.bind_address, port, &error)) {
      LOG(ERROR) << "HttpServer: cannot listen on " << state_->options.bind_address << ":" << port
                 << ": " << error;
      started_ = false;
      return false;
    }
    port_ = acceptor_->port();
    acceptor_->Start();
    return true;
  }

  void Drain() override {
    state_->draining = true;
    for (auto& connection : StopAccepting(/*stop=*/false)) connection->Drain();
  }

  void Stop() override {
    if (stopped_.exchange(true)) return;
    for (auto& connection : StopAccepting(/*stop=*/true)) connection->Close();
  }

  uint16_t port() const override { return port_; }

  size_t ConnectionCount() const override {
    return state_->open_connections.load(std::memory_order_relaxed);
  }

 private:
  // An accepted socket becomes a connection on the group's next thread.
  static void Connect(const std::shared_ptr<ServerState>& state, const std::string& io_group,
                      tcp::socket accepted) {
    std::shared_ptr<IoContext> next = IoService::NextIoContext(io_group);
    if (!next) return;
    tcp::socket socket(boost::asio::make_strand(*next));
    if (!MoveSocket(accepted, socket)) return;
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::shared_ptr<Connection> connection;
    if (state->options.tls) {
      connection = std::make_shared<StreamConnection<TlsStream>>(std::move(socket), state,
                                                                 state->options.tls->context());
    } else {
      connection = std::make_shared<StreamConnection<PlainStream>>(std::move(socket), state);
    }
    if (state->Adopt(connection)) connection->Run();
  }

  // Closes the listener; with `stop`, connections accepted meanwhile are
  // refused. Returns the open connections.
  std::vector<std::shared_ptr<Connection>> StopAccepting(bool stop) {
    std::vector<std::shared_ptr<Connection>> open;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (stop) state_->stopped = true;
      for (auto& [key, weak] : state_->live) {
        if (auto connection = weak.lock()) open.push_back(std::move(connection));
      }
    }
    acceptor_->Close();
    return open;
  }

  // Declared first so that the listening socket goes before its io context.
  const std::shared_ptr<IoContext> io_;
  const std::shared_ptr<ServerState> state_;
  const std::shared_ptr<Acceptor> acceptor_;
  std::atomic<bool> started_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<uint16_t> port_{0};
};

}  // namespace

std::shared_ptr<HttpServer> HttpServer::Create(const std::string& io_group,
                                               const HttpServerOptions& options) {
  auto io = IoService::GetIoGroup(io_group);
  if (!io) return nullptr;
  return std::make_shared<HttpServerImpl>(std::move(io), io_group, options);
}

}  // namespace tvx
