// TCP message transport. Each message, in both directions, is a 4-byte
// unsigned big-endian length N followed by N bytes. A transport delivers each
// received message whole to its receive handler, in arrival order, one at a
// time; Send may be called from any thread. The server's limits
// (TcpServerOptions) bound what one peer can hold: the time a frame may take
// to arrive, silence, open connections, and requests awaiting answers.
#ifndef FRAMEWORK_TCP_H_
#define FRAMEWORK_TCP_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

namespace google::protobuf {
class MessageLite;
}
namespace boost::asio::ssl {
class context;
}

namespace tvx {

// One message's bytes.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(std::string bytes) : bytes_(std::move(bytes)) {}
  // The serialized message.
  explicit Buffer(const google::protobuf::MessageLite& message);

  const char* GetReadableBuffer() const { return bytes_.data(); }
  size_t GetReadableSize() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

using HeaderMap = std::map<std::string, std::string>;

class Transport {
 public:
  using Ptr = std::shared_ptr<Transport>;
  using ConnectHandler = std::function<void(const Ptr&, const boost::system::error_code&)>;
  using DisconnectHandler = std::function<void(const Ptr&, const boost::system::error_code&)>;
  using ReceiveHandler = std::function<void(const Ptr&, const HeaderMap&, const Buffer&)>;

  virtual ~Transport() = default;

  // Set before the connection starts; not changed afterwards.
  void SetConnectHandler(ConnectHandler handler) { on_connect_ = std::move(handler); }
  void SetDisconnectHandler(DisconnectHandler handler) { on_disconnect_ = std::move(handler); }
  void SetReceiveHandler(ReceiveHandler handler) { on_receive_ = std::move(handler); }

  // Queues one message. False when the connection is closed. `priority` is
  // accepted for interface compatibility; messages leave in call order.
  virtual bool Send(const Buffer& buffer, int priority) = 0;
  // Closes the connection; the disconnect handler runs once.
  virtual void Close() = 0;

  // The requests of this connection that await an answer: the receiver
  // calls BeginRequest (from its receive handler) for a message that will
  // be answered, and EndRequest once that answer has been handed to Send.
  // A TCP transport stops reading while too many await, and once draining
  // closes when none does. Thread-safe.
  virtual void BeginRequest() {}
  virtual void EndRequest() {}

 protected:
  ConnectHandler on_connect_;
  DisconnectHandler on_disconnect_;
  ReceiveHandler on_receive_;
};

// The server side of TLS on a listener: TLS 1.2 or later, a PEM certificate
// chain and key, and optionally the CAs that must have signed a client's
// certificate (without one the handshake fails). Shared by the TCP and HTTP
// servers; immutable once made.
class TcpSSLOption {
 public:
  static const std::shared_ptr<TcpSSLOption> kNullPtr;

  // Null, with the reason in `error` naming the file, when a file cannot be
  // read or the key does not belong to the certificate.
  static std::shared_ptr<TcpSSLOption> Create(const std::string& cert_file,
                                              const std::string& key_file,
                                              const std::string& client_ca_file,
                                              std::string* error);
  ~TcpSSLOption();

  boost::asio::ssl::context& context() const { return *context_; }

 private:
  TcpSSLOption() = default;
  std::unique_ptr<boost::asio::ssl::context> context_;
};

// Options the biller never uses; only their null value exists.
class TransportCompressor {
 public:
  static const std::shared_ptr<TransportCompressor> kNullPtr;
};

// The accepting side of a transport, handed to TcpServer by its factory.
class TcpSocket {
 public:
  virtual ~TcpSocket() = default;

 protected:
  TcpSocket() = default;
  friend class TcpServer;
  friend class TcpTransport;
  struct Impl;
  Impl* impl_ = nullptr;
};

class TcpTransport : public Transport,
                     public TcpSocket,
                     public std::enable_shared_from_this<TcpTransport> {
 public:
  // Null when compression is asked for (not supported) or the io group does
  // not run. With `ssl` the connection speaks TLS; a TcpServer with TLS gives
  // its own to transports made without. `close_on_error` closes the
  // connection on the first read or write error.
  static std::shared_ptr<TcpTransport> Create(
      const std::string& io_group, const std::shared_ptr<TcpSSLOption>& ssl,
      const std::shared_ptr<TransportCompressor>& compressor, bool close_on_error);

  ~TcpTransport() override;

  std::shared_ptr<TcpSocket> ToSocketBase() {
    return std::static_pointer_cast<TcpSocket>(shared_from_this());
  }

  bool Send(const Buffer& buffer, int priority) override;
  void Close() override;
  void BeginRequest() override;
  void EndRequest() override;

  // Messages whose length field exceeds this close the connection
  // (default --tcp_max_message_bytes).
  static void SetMaxMessageBytes(uint32_t bytes);
  static uint32_t GetMaxMessageBytes();

 private:
  TcpTransport();
  friend struct TcpSocket::Impl;
  std::unique_ptr<TcpSocket::Impl> owned_impl_;
};

struct TcpServerOptions {
  std::string bind_address = "0.0.0.0";
  // Connections accepted beyond this many open ones are closed at once and
  // logged. 0: no cap.
  size_t max_connections = 10'000;
  // A frame must arrive whole within this time of its first byte, else its
  // connection is closed; a TLS handshake must complete within it too.
  // 0: no deadline.
  std::chrono::milliseconds frame_timeout{30'000};
  // A connection that sends nothing this long, while none of its requests
  // awaits an answer, is closed. 0: never.
  std::chrono::milliseconds idle_timeout{0};
  // Reading from a connection pauses while this many of its requests await
  // answers (Transport::BeginRequest). 0: no limit.
  size_t max_inflight_per_connection = 1000;
};

// Accepts connections on a port; every accepted connection gets a socket from
// the factory, which must return a TcpTransport's ToSocketBase(). With `ssl`
// every connection speaks TLS, and one whose handshake fails or does not end
// within the frame timeout is closed (its disconnect handler does not run:
// its connect handler never did).
class TcpServer : public std::enable_shared_from_this<TcpServer> {
 public:
  using SocketFactory = std::function<std::shared_ptr<TcpSocket>()>;

  static std::shared_ptr<TcpServer> Create(const std::string& io_group,
                                           const std::shared_ptr<TcpSSLOption>& ssl,
                                           SocketFactory factory);
  ~TcpServer();

  // Before Start.
  void SetOptions(const TcpServerOptions& options);
  // Listens on the options' bind address and `port` (0 picks a free port).
  // False when it cannot be bound.
  bool Start(uint16_t port);
  // Stops accepting at once; open connections read no further requests,
  // send the answers still to come and close once none awaits one. Safe
  // more than once, from any thread.
  void Drain();
  // Stops accepting and closes every open connection.
  void Stop();
  // The bound port (useful when started on port 0).
  uint16_t port() const;
  // Connections open now.
  size_t ConnectionCount() const;

 private:
  TcpServer() = default;
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with pending accepts
};

// Framing, exposed for tests and clients.
namespace framing {

inline constexpr size_t kHeaderBytes = 4;

std::string EncodeFrame(std::string_view body);

// Splits a byte stream into frame bodies across arbitrary read boundaries.
class FrameDecoder {
 public:
  enum class Result { kNeedMore, kFrame, kTooLarge };

  explicit FrameDecoder(uint32_t max_body_bytes) : max_body_bytes_(max_body_bytes) {}

  void Append(const char* data, size_t size) { pending_.append(data, size); }
  // kFrame moves the next whole body into `body`; kTooLarge means the stream
  // is unusable.
  Result Next(std::string* body);
  size_t buffered() const { return pending_.size() - consumed_; }

 private:
  uint32_t max_body_bytes_;
  std::string pending_;
  size_t consumed_ = 0;
};

}  // namespace framing
}  // namespace tvx

#endif  // FRAMEWORK_TCP_H_
