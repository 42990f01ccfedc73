#include "framework/acceptor.h"

#include <unistd.h>

#include <algorithm>
#include <future>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <glog/logging.h>

namespace tvx {

using boost::asio::ip::tcp;

namespace {
std::atomic<bool> listeners_ready{false};
}  // namespace

void SetListenersReady(bool ready) { listeners_ready.store(ready); }
bool ListenersReady() { return listeners_ready.load(); }

bool MoveSocket(tcp::socket& accepted, tcp::socket& target) {
  boost::system::error_code ec;
  const auto protocol = accepted.local_endpoint(ec).protocol();
  if (!ec) {
    const auto fd = accepted.release(ec);
    if (!ec) {
      target.assign(protocol, fd, ec);
      if (ec) ::close(fd);
    }
  }
  if (ec) {
    boost::system::error_code ignored;
    accepted.close(ignored);
    return false;
  }
  return true;
}

Acceptor::Acceptor(IoContext& io, Options options, Handler handler, Counter counter)
    : io_(io),
      options_(std::move(options)),
      handler_(std::move(handler)),
      counter_(std::move(counter)),
      strand_(boost::asio::make_strand(io)),
      acceptor_(strand_),
      retry_timer_(strand_) {}

bool Acceptor::Listen(const std::string& address, uint16_t port, std::string* error) {
  // Nothing runs on the strand before Start, so the socket may be set up here.
  boost::system::error_code ec;
  const auto ip = boost::asio::ip::make_address(address, ec);
  if (ec) {
    *error = "not an IP address: " + address;
    return false;
  }
  const tcp::endpoint endpoint(ip, port);
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(tcp::acceptor::max_listen_connections, ec);
  if (!ec) port_ = acceptor_.local_endpoint(ec).port();
  if (ec) {
    *error = ec.message();
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    return false;
  }
  return true;
}

void Acceptor::Start() {
  boost::asio::post(strand_, [self = shared_from_this()] { self->Accept(); });
}

void Acceptor::Accept() {
  if (closed_) return;
  acceptor_.async_accept(io_, [self = shared_from_this()](const boost::system::error_code& ec,
                                                          tcp::socket socket) {
    self->OnAccept(ec, std::move(socket));
  });
}

void Acceptor::OnAccept(const boost::system::error_code& ec, tcp::socket socket) {
  if (closed_ || ec == boost::asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (ec) {
    // Out of descriptors, typically: the pending peer stays queued, and an
    // immediate retry would fail the same way at full speed.
    failed_accepts_.fetch_add(1, std::memory_order_relaxed);
    retry_delay_ = std::min(retry_delay_ == std::chrono::milliseconds(0) ? kAcceptRetryDelay
                                                                         : retry_delay_ * 2,
                            kMaxAcceptRetryDelay);
    LOG_EVERY_N(WARNING, 100) << options_.name << ": accept failed (" << google::COUNTER
                              << " times): " << ec.message() << "; retrying in "
                              << retry_delay_.count() << " ms";
    retry_timer_.expires_after(retry_delay_);
    retry_timer_.async_wait([self = shared_from_this()](const boost::system::error_code& wait_ec) {
      if (!wait_ec) self->Accept();
    });
    return;
  }
  retry_delay_ = std::chrono::milliseconds(0);
  if (options_.max_connections > 0 && counter_ && counter_() >= options_.max_connections) {
    LOG_EVERY_N(WARNING, 100) << options_.name << ": " << options_.max_connections
                              << " connections open; closing a new one (" << google::COUNTER
                              << " so far)";
    boost::system::error_code ignored;
    socket.close(ignored);
  } else {
    handler_(std::move(socket));
  }
  Accept();
}

void Acceptor::CloseNow() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  retry_timer_.cancel();
}

void Acceptor::Close() {
  if (closed_.exchange(true)) return;
  auto self = shared_from_this();
  if (io_.stopped() || strand_.running_in_this_thread()) return CloseNow();
  if (io_.get_executor().running_in_this_thread()) {
    // Waiting here would block the very thread the strand needs.
    boost::asio::post(strand_, [self] { self->CloseNow(); });
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  auto closed = done->get_future();
  boost::asio::post(strand_, [self, done] {
    self->CloseNow();
    done->set_value();
  });
  if (closed.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    LOG(ERROR) << options_.name << ": the io group did not close the listening socket in time";
  }
}

}  // namespace tvx
