#include "framework/tcp.h"

#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <glog/logging.h>
#include <google/protobuf/message_lite.h>

#include "framework/acceptor.h"
#include "framework/io_service.h"

namespace tvx {

using boost::asio::ip::tcp;
using Strand = boost::asio::strand<IoContext::executor_type>;

const std::shared_ptr<TransportCompressor> TransportCompressor::kNullPtr;

Buffer::Buffer(const google::protobuf::MessageLite& message) {
  message.SerializeToString(&bytes_);
}

namespace framing {

std::string EncodeFrame(std::string_view body) {
  std::string frame;
  frame.reserve(kHeaderBytes + body.size());
  const auto n = static_cast<uint32_t>(body.size());
  frame.push_back(static_cast<char>(n >> 24));
  frame.push_back(static_cast<char>(n >> 16));
  frame.push_back(static_cast<char>(n >> 8));
  frame.push_back(static_cast<char>(n));
  frame.append(body);
  return frame;
}

FrameDecoder::Result FrameDecoder::Next(std::string* body) {
  const size_t available = pending_.size() - consumed_;
  if (available < kHeaderBytes) return Result::kNeedMore;
  const auto* p = reinterpret_cast<const unsigned char*>(pending_.data() + consumed_);
  const uint32_t n = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  if (n > max_body_bytes_) return Result::kTooLarge;
  if (available - kHeaderBytes < n) return Result::kNeedMore;
  body->assign(pending_, consumed_ + kHeaderBytes, n);
  consumed_ += kHeaderBytes + n;
  // Compact once the consumed prefix dominates, so the buffer stays bounded
  // by one frame plus one read.
  if (consumed_ == pending_.size()) {
    pending_.clear();
    consumed_ = 0;
  } else if (consumed_ > pending_.size() / 2) {
    pending_.erase(0, consumed_);
    consumed_ = 0;
  }
  return Result::kFrame;
}

}  // namespace framing

namespace {

std::atomic<uint32_t> max_message_bytes{1048576};

// A client that stops reading cannot make the biller queue answers forever.
constexpr size_t kMaxQueuedBytesBeyondMessage = 16 * 1024 * 1024;

using Clock = std::chrono::steady_clock;

}  // namespace

// Everything of a connection that touches Asio; all of it runs on `strand`,
// except the atomics, which Send, BeginRequest and EndRequest touch from any
// thread.
struct TcpSocket::Impl {
  Impl(TcpTransport* owner, std::shared_ptr<IoContext> io)
      : owner(owner),
        io(std::move(io)),
        strand(boost::asio::make_strand(*this->io)),
        socket(strand),
        frame_timer(strand),
        idle_timer(strand),
        decoder(max_message_bytes.load()) {}

  void Start(const TcpServerOptions& options, std::function<void()> on_closed) {
    frame_timeout = options.frame_timeout;
    idle_timeout = options.idle_timeout;
    max_inflight = options.max_inflight_per_connection;
    on_server_closed = std::move(on_closed);
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    if (!tls_option) socket.non_blocking(true, ignored);  // reads never wait: see Read()
    if (tls_option) return Handshake();
    Begin();
  }

  // The connection exists for its owner from here on.
  void Begin() {
    open = true;
    connected = true;
    auto self = owner->shared_from_this();
    if (owner->on_connect_) owner->on_connect_(self, boost::system::error_code());
    last_activity = Clock::now();
    if (idle_timeout.count() > 0) WaitIdle(idle_timeout);
    Read();
  }

  // The TLS handshake, bounded by the frame timeout.
  void Handshake() {
    tls = std::make_unique<TlsStream>(socket, tls_option->context());
    if (frame_timeout.count() > 0) {
      frame_timer.expires_after(frame_timeout);
      frame_timer.async_wait([this, weak = std::weak_ptr<TcpTransport>(owner->shared_from_this())](
                                 const boost::system::error_code& ec) {
        const auto self = weak.lock();
        if (!self || ec || closed || connected) return;
        LOG(WARNING) << "TcpTransport: no TLS handshake within " << frame_timeout.count()
                     << " ms, closing connection from " << RemoteText();
        CloseNow(boost::asio::error::timed_out);
      });
    }
    tls->async_handshake(TlsStream::server, [this, self = owner->shared_from_this()](
                                                const boost::system::error_code& ec) {
      if (closed) return;
      if (ec) {
        LOG(WARNING) << "TcpTransport: TLS handshake with " << RemoteText()
                     << " failed: " << ec.message();
        return CloseNow(ec);
      }
      frame_timer.cancel();
      if (draining) return CloseNow(boost::asio::error::shut_down);
      Begin();
    });
  }

  void Read() {
    if (closed || draining) return;
    if (tls) {
      if (!tls_read_buffer) tls_read_buffer = std::make_unique<ReadBuffer>();
      return tls->async_read_some(
          boost::asio::buffer(*tls_read_buffer),
          [this, self = owner->shared_from_this()](const boost::system::error_code& ec, size_t n) {
            if (ec) return CloseNow(ec);
            OnBytes(tls_read_buffer->data(), n);
          });
    }
    // A plain connection holds no buffer while it waits: it waits until the
    // socket has bytes, then reads them into its thread's buffer at once and
    // hands them to the decoder, so ten thousand idle connections cost no
    // ten thousand buffers.
    socket.async_wait(tcp::socket::wait_read, [this, self = owner->shared_from_this()](
                                                  const boost::system::error_code& ec) {
      if (ec) return CloseNow(ec);
      if (closed) return;
      thread_local ReadBuffer buffer;
      boost::system::error_code read_ec;
      const size_t n = socket.read_some(boost::asio::buffer(buffer), read_ec);
      if (read_ec == boost::asio::error::would_block ||
          read_ec == boost::asio::error::try_again) {
        return Read();
      }
      if (read_ec) return CloseNow(read_ec);
      OnBytes(buffer.data(), n);
    });
  }

  void OnBytes(const char* data, size_t n) {
    // A draining connection takes no new request.
    if (draining) return;
    last_activity = Clock::now();
    decoder.Append(data, n);
    Deliver();
  }

  // Hands every whole frame to the receive handler, then reads on; stops
  // while the peer has too many requests awaiting answers (EndRequest
  // resumes).
  void Deliver() {
    auto self = owner->shared_from_this();
    static const HeaderMap kNoHeaders;
    std::string body;
    bool delivered = false;
    for (;;) {
      if (closed || draining) return;
      if (max_inflight > 0 && awaiting.load() >= max_inflight) {
        // Set before the second look, so that an EndRequest in between
        // either is seen here or sees the flag and resumes.
        paused = true;
        if (awaiting.load() >= max_inflight) {
          StopFrameClock();  // a peer kept waiting is not slow
          return;
        }
        paused = false;
      }
      switch (decoder.Next(&body)) {
        case framing::FrameDecoder::Result::kNeedMore:
          RunFrameClock(delivered);
          return Read();
        case framing::FrameDecoder::Result::kTooLarge:
          LOG(WARNING) << "TcpTransport: message longer than " << max_message_bytes.load()
                       << " bytes, closing connection from " << RemoteText();
          return CloseNow(boost::asio::error::message_size);
        case framing::FrameDecoder::Result::kFrame:
          delivered = true;
          if (owner->on_receive_) owner->on_receive_(self, kNoHeaders, Buffer(std::move(body)));
          body.clear();
          break;
      }
    }
  }

  // Runs after an EndRequest that may lift a pause or end a drain.
  void OnAnswered() {
    if (closed) return;
    if (draining) return CloseIfDrained();
    if (paused && (max_inflight == 0 || awaiting.load() < max_inflight)) {
      paused = false;
      Deliver();
    }
  }

  // The deadline of the frame under way, from its first byte until it is
  // whole. `restart`: the bytes buffered now begin a new frame.
  void RunFrameClock(bool restart) {
    if (frame_timeout.count() <= 0) return;
    if (decoder.buffered() == 0) return StopFrameClock();
    if (frame_clock_running && !restart) return;
    frame_clock_running = true;
    const uint64_t generation = ++frame_clock_generation;
    frame_timer.expires_after(frame_timeout);
    // The timer's handler holds the transport weakly: a wait still queued
    // when the io context stops must not keep the transport, and with it
    // the context, alive.
    frame_timer.async_wait([this, weak = std::weak_ptr<TcpTransport>(owner->shared_from_this()),
                            generation](const boost::system::error_code& ec) {
      const auto self = weak.lock();
      if (!self || ec || closed || !frame_clock_running || generation != frame_clock_generation) return;
      LOG(WARNING) << "TcpTransport: a message did not arrive whole within "
                   << frame_timeout.count() << " ms, closing connection from " << RemoteText();
      CloseNow(boost::asio::error::timed_out);
    });
  }

  void StopFrameClock() {
    if (!frame_clock_running) return;
    frame_clock_running = false;
    frame_timer.cancel();
  }

  // Checks for silence every `delay`; a connection that awaits answers or
  // is being written to is not idle.
  void WaitIdle(Clock::duration delay) {
    idle_timer.expires_after(delay);
    idle_timer.async_wait([this, weak = std::weak_ptr<TcpTransport>(owner->shared_from_this())](
                              const boost::system::error_code& ec) {
      const auto self = weak.lock();
      if (!self || ec || closed) return;
      const auto quiet = Clock::now() - last_activity;
      if (awaiting.load() > 0 || writing) {
        last_activity = Clock::now();
        return WaitIdle(idle_timeout);
      }
      if (quiet < idle_timeout) return WaitIdle(idle_timeout - quiet);
      LOG(INFO) << "TcpTransport: connection from " << RemoteText() << " sent nothing for "
                << idle_timeout.count() << " ms, closing it";
      CloseNow(boost::asio::error::timed_out);
    });
  }

  void Drain() {
    if (closed || draining) return;
    draining = true;
    StopFrameClock();
    CloseIfDrained();
  }

  void CloseIfDrained() {
    if (awaiting.load() == 0 && !writing && queue.empty()) {
      CloseNow(boost::asio::error::shut_down);
    }
  }

  void Enqueue(std::string frame) {
    if (closed) return;
    queued_bytes += frame.size();
    queue.push_back(std::move(frame));
    if (queued_bytes > max_message_bytes.load() + kMaxQueuedBytesBeyondMessage) {
      LOG(WARNING) << "TcpTransport: peer " << RemoteText() << " does not read its answers ("
                   << queued_bytes << " bytes queued), closing connection";
      return CloseNow(boost::asio::error::no_buffer_space);
    }
    if (!writing) Write();
  }

  void Write() {
    writing = true;
    in_flight.clear();
    while (!queue.empty()) {
      in_flight.push_back(std::move(queue.front()));
      queue.pop_front();
    }
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(in_flight.size());
    for (const auto& frame : in_flight) buffers.emplace_back(boost::asio::buffer(frame));
    auto on_written = [this, self = owner->shared_from_this()](
                          const boost::system::error_code& ec, size_t n) {
      writing = false;
      queued_bytes -= n;
      in_flight.clear();
      if (ec) return CloseNow(ec);
      if (!queue.empty()) return Write();
      if (draining) CloseIfDrained();
    };
    if (tls) return boost::asio::async_write(*tls, buffers, std::move(on_written));
    boost::asio::async_write(socket, buffers, std::move(on_written));
  }

  void CloseNow(const boost::system::error_code& ec) {
    if (closed) return;
    closed = true;
    open = false;
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    frame_timer.cancel();
    idle_timer.cancel();
    queue.clear();
    auto self = owner->shared_from_this();
    if (connected && owner->on_disconnect_) owner->on_disconnect_(self, ec);
    if (on_server_closed) {
      auto notify = std::move(on_server_closed);
      notify();
    }
  }

  std::string RemoteText() const {
    boost::system::error_code ec;
    auto endpoint = socket.remote_endpoint(ec);
    if (ec) return "(unknown)";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
  }

  using TlsStream = boost::asio::ssl::stream<tcp::socket&>;

  TcpTransport* owner;
  std::shared_ptr<IoContext> io;  // outlives the socket and timers that use it
  Strand strand;
  tcp::socket socket;
  std::shared_ptr<TcpSSLOption> tls_option;  // set before Start; null: plain
  std::unique_ptr<TlsStream> tls;            // over `socket`, from the handshake on
  boost::asio::steady_timer frame_timer;
  boost::asio::steady_timer idle_timer;
  framing::FrameDecoder decoder;
  using ReadBuffer = std::array<char, 16 * 1024>;
  std::unique_ptr<ReadBuffer> tls_read_buffer;  // a TLS stream reads into its own
  std::deque<std::string> queue;
  std::vector<std::string> in_flight;
  size_t queued_bytes = 0;
  bool writing = false;
  bool closed = false;
  bool connected = false;  // the connect handler ran
  std::atomic<bool> draining{false};  // written on the strand only
  bool frame_clock_running = false;
  uint64_t frame_clock_generation = 0;
  Clock::time_point last_activity;
  std::chrono::milliseconds frame_timeout{0};
  std::chrono::milliseconds idle_timeout{0};
  size_t max_inflight = 0;
  std::atomic<bool> open{false};
  std::atomic<bool> paused{false};
  std::atomic<size_t> awaiting{0};
  std::function<void()> on_server_closed;
};

TcpTransport::TcpTransport() = default;

TcpTransport::~TcpTransport() = default;

std::shared_ptr<TcpTransport> TcpTransport::Create(
    const std::string& io_group, const std::shared_ptr<TcpSSLOption>& ssl,
    const std::shared_ptr<TransportCompressor>& compressor, bool /*close_on_error*/) {
  if (compressor) return nullptr;
  // Each new connection goes to the group's next thread.
  auto io = IoService::NextIoContext(io_group);
  if (!io) return nullptr;
  std::shared_ptr<TcpTransport> transport(new TcpTransport());
  transport->owned_impl_ = std::make_unique<TcpSocket::Impl>(transport.get(), std::move(io));
  transport->impl_ = transport->owned_impl_.get();
  transport->impl_->tls_option = ssl;
  return transport;
}

bool TcpTransport::Send(const Buffer& buffer, int /*priority*/) {
  if (!impl_->open) return false;
  boost::asio::dispatch(impl_->strand, [self = shared_from_this(),
                                        frame = framing::EncodeFrame(buffer.bytes())]() mutable {
    self->impl_->Enqueue(std::move(frame));
  });
  return true;
}

void TcpTransport::Close() {
  boost::asio::dispatch(impl_->strand, [self = shared_from_this()] {
    self->impl_->CloseNow(boost::asio::error::operation_aborted);
  });
}

void TcpTransport::BeginRequest() { impl_->awaiting.fetch_add(1); }

void TcpTransport::EndRequest() {
  const size_t before = impl_->awaiting.fetch_sub(1);
  if (before == 0) {  // more ends than begins: a caller's bug, kept harmless
    impl_->awaiting.fetch_add(1);
    return;
  }
  // Both flags are read after the count changed, and set on the strand
  // before it is read there (Deliver, Drain): one side sees the other.
  if (impl_->paused.load() || (before == 1 && impl_->draining.load())) {
    boost::asio::post(impl_->strand, [self = shared_from_this()] { self->impl_->OnAnswered(); });
  }
}

void TcpTransport::SetMaxMessageBytes(uint32_t bytes) { max_message_bytes = bytes; }
uint32_t TcpTransport::GetMaxMessageBytes() { return max_message_bytes; }

struct TcpServer::Impl : std::enable_shared_from_this<TcpServer::Impl> {
  explicit Impl(std::shared_ptr<IoContext> io) : io(std::move(io)) {}

  // Moves an accepted peer into a new transport on the group's next thread
  // and starts it.
  void HandOver(tcp::socket peer) {
    std::shared_ptr<TcpSocket> base = factory ? factory() : nullptr;
    auto transport = std::dynamic_pointer_cast<TcpTransport>(base);
    if (!transport) {
      LOG_EVERY_N(ERROR, 100) << "TcpServer: socket factory returned no transport";
      boost::system::error_code ignored;
      peer.close(ignored);
      return;
    }
    if (!MoveSocket(peer, transport->impl_->socket)) return;
    if (!transport->impl_->tls_option) transport->impl_->tls_option = ssl;
    TcpTransport* key = transport.get();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;  // the transport closes its socket as it goes
      live.emplace(key, transport);
    }
    std::weak_ptr<Impl> weak_self = shared_from_this();
    boost::asio::dispatch(transport->impl_->strand, [transport, key, weak_self,
                                                     options = options] {
      transport->impl_->Start(options, [key, weak_self] {
        if (auto self = weak_self.lock()) {
          std::lock_guard<std::mutex> lock(self->mutex);
          self->live.erase(key);
        }
      });
    });
  }

  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return live.size();
  }

  // Stops accepting; returns the open connections.
  std::vector<std::shared_ptr<TcpTransport>> StopAccepting() {
    std::vector<std::shared_ptr<TcpTransport>> open;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      for (auto& [key, weak] : live) {
        if (auto transport = weak.lock()) open.push_back(std::move(transport));
      }
    }
    if (acceptor) acceptor->Close();
    return open;
  }

  std::shared_ptr<IoContext> io;  // declared first: outlives the acceptor
  std::shared_ptr<TcpSSLOption> ssl;  // null: plain
  TcpServerOptions options;
  SocketFactory factory;
  std::shared_ptr<Acceptor> acceptor;
  std::atomic<bool> stopped{false};
  std::mutex mutex;
  bool stopping = false;                                                  // GUARDED_BY(mutex)
  std::unordered_map<TcpTransport*, std::weak_ptr<TcpTransport>> live;  // GUARDED_BY(mutex)
};

std::shared_ptr<TcpServer> TcpServer::Create(const std::string& io_group,
                                             const std::shared_ptr<TcpSSLOption>& ssl,
                                             SocketFactory factory) {
  auto io = IoService::GetIoGroup(io_group);
  if (!io) return nullptr;
  std::shared_ptr<TcpServer> server(new TcpServer());
  server->impl_ = std::make_shared<Impl>(std::move(io));
  server->impl_->ssl = ssl;
  server->impl_->factory = std::move(factory);
  return server;
}

TcpServer::~TcpServer() { Stop(); }

void TcpServer::SetOptions(const TcpServerOptions& options) { impl_->options = options; }

bool TcpServer::Start(uint16_t port) {
  if (impl_->acceptor) return false;
  // The acceptor holds the server weakly: the server owns it, and a pending
  // accept must not keep the server (and its io context) alive.
  std::weak_ptr<Impl> weak_impl = impl_;
  impl_->acceptor = std::make_shared<Acceptor>(
      *impl_->io,
      Acceptor::Options{.name = "TcpServer", .max_connections = impl_->options.max_connections},
      [weak_impl](tcp::socket peer) {
        if (auto impl = weak_impl.lock()) impl->HandOver(std::move(peer));
      },
      [weak_impl]() -> size_t {
        auto impl = weak_impl.lock();
        return impl ? impl->Count() : 0;
      });
  std::string error;
  if (!impl_->acceptor->Listen(impl_->options.bind_address, port, &error)) {
    LOG(ERROR) << "TcpServer: cannot listen on " << impl_->options.bind_address << ":" << port
               << ": " << error;
    return false;
  }
  impl_->acceptor->Start();
  return true;
}

void TcpServer::Drain() {
  if (!impl_) return;
  for (auto& transport : impl_->StopAccepting()) {
    boost::asio::dispatch(transport->impl_->strand,
                          [transport] { transport->impl_->Drain(); });
  }
}

void TcpServer::Stop() {
  if (!impl_ || impl_->stopped.exchange(true)) return;
  for (auto& transport : impl_->StopAccepting()) transport->Close();
}

uint16_t TcpServer::port() const { return impl_->acceptor ? impl_->acceptor->port() : 0; }

size_t TcpServer::ConnectionCount() const { return impl_->Count(); }

}  // namespace tvx
