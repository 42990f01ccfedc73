// biller-bench-store: a fast stand-in for Google Play's token and purchase
// endpoints, so that the store is never what limits a benchmark. A small
// keep-alive HTTP/1.1 server of its own (Asio and Beast), so that it can count
// the connections it accepts: a client that reuses its connections opens few.
// It never closes a connection the client wants kept alive. Answers can be
// held back by a fixed delay (a timer per request, no thread parked), which is
// how the benchmarks park thousands of validations on a slow store.
//
//   POST /token                                     an access token (both grants)
//   GET  /androidpublisher/v3/applications/<package>/purchases/products/<product>/tokens/<token>
//                                                   a purchased, unconsumed product
//   GET  /stats                                     {"token_requests":n,"purchase_requests":m,
//                                                    "connections":accepted so far}
//
// Point the biller at it with the install argument "store_endpoints":
// {"google_oauth_token_url": "http://127.0.0.1:<port>/token",
//  "google_jwt_token_url": "http://127.0.0.1:<port>/token",
//  "google_api_base": "http://127.0.0.1:<port>"}
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <gflags/gflags.h>

#include "framework/json.h"

DEFINE_int32(port, 18090, "listening port (0 picks one and prints it)");
DEFINE_int32(threads, 1, "io threads");
DEFINE_int64(delay_ms, 0, "delay before every purchase answer, in milliseconds");
DEFINE_int64(token_delay_ms, 0, "delay before every token answer, in milliseconds");
DEFINE_int64(max_connections, 19'000, "open connections accepted at most");

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::string_view kPurchasePrefix = "/androidpublisher/v3/applications/";

std::atomic<int64_t> token_requests{0};
std::atomic<int64_t> purchase_requests{0};
std::atomic<int64_t> accepted_connections{0};
std::atomic<int64_t> open_connections{0};

std::string TokenAnswer() {
  tvx::Json answer = tvx::Json::Object();
  answer.SetString("access_token", "bench-access-token");
  answer.SetAttribute("expires_in", tvx::Json(static_cast<int64_t>(3600)));
  answer.SetString("token_type", "Bearer");
  return answer.ToString();
}

// A purchased, acknowledged, unconsumed product whose order id follows the
// purchase token, so that unique tokens make unique orders.
std::string PurchaseAnswer(std::string_view path) {
  const std::string token(path.substr(path.rfind('/') + 1));
  tvx::Json answer = tvx::Json::Object();
  answer.SetString("kind", "androidpublisher#productPurchase");
  answer.SetString("purchaseTimeMillis", "1764979200000");
  answer.SetAttribute("purchaseState", tvx::Json(static_cast<int64_t>(0)));
  answer.SetAttribute("consumptionState", tvx::Json(static_cast<int64_t>(0)));
  answer.SetString("developerPayload", "");
  answer.SetString("orderId", "GPA.bench-" + token);
  answer.SetAttribute("purchaseType", tvx::Json(static_cast<int64_t>(0)));
  answer.SetAttribute("acknowledgementState", tvx::Json(static_cast<int64_t>(1)));
  return answer.ToString();
}

std::string StatsAnswer() {
  tvx::Json stats = tvx::Json::Object();
  stats.SetAttribute("token_requests", tvx::Json(token_requests.load()));
  stats.SetAttribute("purchase_requests", tvx::Json(purchase_requests.load()));
  stats.SetAttribute("connections", tvx::Json(accepted_connections.load()));
  return stats.ToString();
}

// One accepted connection: read a request, answer it (now or after the
// delay), read the next, until the client closes or asks to close.
class Session : public std::enable_shared_from_this<Session> {
 public:
  explicit Session(tcp::socket socket)
      : stream_(std::move(socket)), timer_(stream_.get_executor()) {
    ++open_connections;
  }
  ~Session() { --open_connections; }

  void Read() {
    request_ = {};
    http::async_read(stream_, buffer_, request_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->Close();
                       self->Handle();
                     });
  }

 private:
  void Handle() {
    std::string_view target(request_.target().data(), request_.target().size());
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == "/token") {
      ++token_requests;
      return Answer(http::status::ok, TokenAnswer(), FLAGS_token_delay_ms);
    }
    if (path.substr(0, kPurchasePrefix.size()) == kPurchasePrefix) {
      ++purchase_requests;
      return Answer(http::status::ok, PurchaseAnswer(path), FLAGS_delay_ms);
    }
    if (path == "/stats") return Answer(http::status::ok, StatsAnswer(), 0);
    Answer(http::status::not_found, "{}", 0);
  }

  void Answer(http::status status, std::string body, int64_t delay_ms) {
    response_ = {};
    response_.result(status);
    response_.version(request_.version());
    response_.set(http::field::content_type, "application/json");
    response_.keep_alive(request_.keep_alive());
    response_.body() = std::move(body);
    response_.prepare_payload();
    if (delay_ms <= 0) return Write();
    timer_.expires_after(std::chrono::milliseconds(delay_ms));
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->Close();
      self->Write();
    });
  }

  void Write() {
    http::async_write(stream_, response_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec || !self->response_.keep_alive()) return self->Close();
      self->Read();
    });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.socket().close(ignored);
  }

  beast::tcp_stream stream_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::string_body> response_;
};

void Accept(asio::io_context& io, tcp::acceptor& acceptor) {
  acceptor.async_accept(asio::make_strand(io), [&io, &acceptor](beast::error_code ec,
                                                                tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      ++accepted_connections;
      if (open_connections.load() >= FLAGS_max_connections) {
        beast::error_code ignored;
        socket.close(ignored);
      } else {
        socket.set_option(tcp::no_delay(true), ec);
        std::make_shared<Session>(std::move(socket))->Read();
      }
    }
    Accept(io, acceptor);
  });
}

}  // namespace

int main(int argc, char** argv) {
  gflags::SetUsageMessage("fast fake Google Play store for benchmarks");
  gflags::ParseCommandLineFlags(&argc, &argv, true);

  // Parking thousands of requests takes as many descriptors.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  asio::io_context io(FLAGS_threads);
  tcp::acceptor acceptor(io);
  beast::error_code ec;
  const tcp::endpoint endpoint(tcp::v4(), static_cast<unsigned short>(FLAGS_port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::fprintf(stderr, "biller-bench-store: cannot listen on port %d: %s\n", FLAGS_port,
                 ec.message().c_str());
    return 1;
  }
  std::printf("listening on %u\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  Accept(io, acceptor);

  std::vector<std::thread> threads;
  for (int i = 0; i < std::max(1, FLAGS_threads); ++i) threads.emplace_back([&io] { io.run(); });
  int signal = 0;
  sigwait(&signals, &signal);
  io.stop();
  for (auto& thread : threads) thread.join();
  return 0;
}
