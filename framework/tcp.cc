#include "framework/tcp.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <glog/logging.h>
#include <google/protobuf/message_lite.h>

#include "framework/io_service.h"

namespace tvx {

using boost::asio::ip::tcp;
using Strand = boost::asio::strand<IoContext::executor_type>;

const std::shared_ptr<TcpSSLOption> TcpSSLOption::kNullPtr;
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

}  // namespace

// Everything of a connection that touches Asio; all of it runs on `strand`.
struct TcpSocket::Impl {
  Impl(TcpTransport* owner, std::shared_ptr<IoContext> io)
      : owner(owner),
        io(std::move(io)),
        strand(boost::asio::make_strand(*this->io)),
        socket(strand),
        decoder(max_message_bytes.load()) {}

  void Start(std::function<void()> on_closed) {
    on_server_closed = std::move(on_closed);
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    open = true;
    auto self = owner->shared_from_this();
    if (owner->on_connect_) owner->on_connect_(self, boost::system::error_code());
    Read();
  }

  void Read() {
    auto self = owner->shared_from_this();
    socket.async_read_some(boost::asio::buffer(read_buffer),
                           [this, self](const boost::system::error_code& ec, size_t n) {
                             if (ec) return CloseNow(ec);
                             decoder.Append(read_buffer.data(), n);
                             Deliver();
                           });
  }

  void Deliver() {
    auto self = owner->shared_from_this();
    static const HeaderMap kNoHeaders;
    std::string body;
    for (;;) {
      if (closed) return;
      switch (decoder.Next(&body)) {
        case framing::FrameDecoder::Result::kNeedMore:
          return Read();
        case framing::FrameDecoder::Result::kTooLarge:
          LOG(WARNING) << "TcpTransport: message longer than " << max_message_bytes.load()
                       << " bytes, closing connection from " << RemoteText();
          return CloseNow(boost::asio::error::message_size);
        case framing::FrameDecoder::Result::kFrame:
          if (owner->on_receive_) owner->on_receive_(self, kNoHeaders, Buffer(std::move(body)));
          body.clear();
          break;
      }
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
    auto self = owner->shared_from_this();
    boost::asio::async_write(socket, buffers,
                             [this, self](const boost::system::error_code& ec, size_t n) {
                               writing = false;
                               queued_bytes -= n;
                               in_flight.clear();
                               if (ec) return CloseNow(ec);
                               if (!queue.empty()) Write();
                             });
  }

  void CloseNow(const boost::system::error_code& ec) {
    if (closed) return;
    closed = true;
    open = false;
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    queue.clear();
    auto self = owner->shared_from_this();
    if (owner->on_disconnect_) owner->on_disconnect_(self, ec);
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

  TcpTransport* owner;
  std::shared_ptr<IoContext> io;  // outlives the socket that uses it
  Strand strand;
  tcp::socket socket;
  framing::FrameDecoder decoder;
  std::array<char, 16 * 1024> read_buffer;
  std::deque<std::string> queue;
  std::vector<std::string> in_flight;
  size_t queued_bytes = 0;
  bool writing = false;
  bool closed = false;
  std::atomic<bool> open{false};
  std::function<void()> on_server_closed;
};

TcpTransport::TcpTransport() = default;

TcpTransport::~TcpTransport() = default;

std::shared_ptr<TcpTransport> TcpTransport::Create(
    const std::string& io_group, const std::shared_ptr<TcpSSLOption>& ssl,
    const std::shared_ptr<TransportCompressor>& compressor, bool /*close_on_error*/) {
  if (ssl || compressor) return nullptr;
  // Each new connection goes to the group's next thread.
  auto io = IoService::NextIoContext(io_group);
  if (!io) return nullptr;
  std::shared_ptr<TcpTransport> transport(new TcpTransport());
  transport->owned_impl_ = std::make_unique<TcpSocket::Impl>(transport.get(), std::move(io));
  transport->impl_ = transport->owned_impl_.get();
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

void TcpTransport::SetMaxMessageBytes(uint32_t bytes) { max_message_bytes = bytes; }
uint32_t TcpTransport::GetMaxMessageBytes() { return max_message_bytes; }

struct TcpServer::Impl : std::enable_shared_from_this<TcpServer::Impl> {
  explicit Impl(std::shared_ptr<IoContext> io)
      : io(std::move(io)), strand(boost::asio::make_strand(*this->io)), acceptor(strand) {}

  // Accepts on the listener's own context; the transport, on the group's
  // next thread, is made only once a peer is there. A pending accept thus
  // holds nothing of another context, which may be destroyed first when the
  // group ends.
  void Accept() {
    acceptor.async_accept([self = shared_from_this()](const boost::system::error_code& ec,
                                                      tcp::socket peer) {
      if (ec == boost::asio::error::operation_aborted || !self->acceptor.is_open()) return;
      if (!ec && !self->HandOver(std::move(peer))) return;
      // Running out of descriptors must not end the accept loop.
      self->Accept();
    });
  }

  // Moves an accepted peer into a new transport and starts it. False when
  // the factory makes no transport: accepting stops.
  bool HandOver(tcp::socket peer) {
    std::shared_ptr<TcpSocket> base = factory ? factory() : nullptr;
    auto transport = std::dynamic_pointer_cast<TcpTransport>(base);
    if (!transport) {
      LOG(ERROR) << "TcpServer: socket factory returned no transport; not accepting";
      return false;
    }
    boost::system::error_code moved;
    const auto protocol = peer.local_endpoint(moved).protocol();
    if (!moved) {
      const auto fd = peer.release(moved);
      if (!moved) transport->impl_->socket.assign(protocol, fd, moved);
      if (moved) ::close(fd);
    }
    if (!moved) Adopt(transport);
    return true;
  }

  void Adopt(const std::shared_ptr<TcpTransport>& transport) {
    TcpTransport* key = transport.get();
    {
      std::lock_guard<std::mutex> lock(mutex);
      live.emplace(key, transport);
    }
    std::weak_ptr<Impl> weak_self = shared_from_this();
    boost::asio::dispatch(transport->impl_->strand, [transport, key, weak_self] {
      transport->impl_->Start([key, weak_self] {
        if (auto self = weak_self.lock()) {
          std::lock_guard<std::mutex> lock(self->mutex);
          self->live.erase(key);
        }
      });
    });
  }

  std::shared_ptr<IoContext> io;
  Strand strand;
  tcp::acceptor acceptor;
  SocketFactory factory;
  std::atomic<bool> stopped{false};
  std::mutex mutex;
  std::unordered_map<TcpTransport*, std::weak_ptr<TcpTransport>> live;  // GUARDED_BY(mutex)
};

std::shared_ptr<TcpServer> TcpServer::Create(const std::string& io_group,
                                             const std::shared_ptr<TcpSSLOption>& ssl,
                                             SocketFactory factory) {
  if (ssl) return nullptr;
  auto io = IoService::GetIoGroup(io_group);
  if (!io) return nullptr;
  std::shared_ptr<TcpServer> server(new TcpServer());
  server->impl_ = std::make_shared<Impl>(std::move(io));
  server->impl_->factory = std::move(factory);
  return server;
}

TcpServer::~TcpServer() { Stop(); }

bool TcpServer::Start(uint16_t port) {
  boost::system::error_code ec;
  tcp::endpoint endpoint(tcp::v4(), port);
  auto& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(tcp::acceptor::max_listen_connections, ec);
  if (ec) {
    LOG(ERROR) << "TcpServer: cannot listen on port " << port << ": " << ec.message();
    boost::system::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  boost::asio::post(impl_->strand, [impl = impl_] { impl->Accept(); });
  return true;
}

void TcpServer::Stop() {
  if (!impl_ || impl_->stopped.exchange(true)) return;
  auto impl = impl_;
  if (impl->io->stopped() || impl->strand.running_in_this_thread()) {
    boost::system::error_code ignored;
    impl->acceptor.close(ignored);
  } else {
    // The acceptor belongs to its strand; close it there and wait, so that no
    // connection is accepted once Stop returns.
    std::promise<void> done;
    auto closed = done.get_future();
    boost::asio::dispatch(impl->strand, [impl, &done] {
      boost::system::error_code ignored;
      impl->acceptor.close(ignored);
      done.set_value();
    });
    closed.wait();
  }
  std::vector<std::shared_ptr<TcpTransport>> open;
  {
    std::lock_guard<std::mutex> lock(impl->mutex);
    for (auto& [key, weak] : impl->live) {
      if (auto transport = weak.lock()) open.push_back(std::move(transport));
    }
  }
  for (auto& transport : open) transport->Close();
}

uint16_t TcpServer::port() const {
  boost::system::error_code ec;
  auto endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

}  // namespace tvx
