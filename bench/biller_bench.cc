// biller-bench: a load generator for the biller. Opens a number of TCP
// (protobuf) or HTTP (JSON) connections, optionally authenticates each one,
// and reports throughput, latency percentiles, answers by result code and the
// server's resident memory. Three modes:
//
//   load   keeps --inflight validations outstanding per connection (closed
//          loop), or sends --rate validations a second in all (open loop,
//          latency counted from when each request was due), for --duration
//          seconds after --warmup seconds.
//   burst  opens every connection first, then at once authenticates each and
//          sends --inflight validations per connection, and waits (up to
//          --duration seconds) for every answer. Parks load on a slow store,
//          or races a cold token cache.
//   idle   opens every connection, sends nothing, holds them --duration
//          seconds and reports the server's memory meanwhile.
//
// Output: one human line, then one line of key=value pairs for scripts.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <gflags/gflags.h>

#include "framework/biller.pb.h"
#include "framework/billing_store.h"
#include "framework/json.h"
#include "framework/tcp.h"
#include "framework/uuid.h"

DEFINE_string(mode, "load", "load, burst or idle");
DEFINE_string(protocol, "tcp", "tcp or http");
DEFINE_string(host, "127.0.0.1", "server address");
DEFINE_int32(port, 12810, "server port");
DEFINE_int32(connections, 16, "connections");
DEFINE_int32(inflight, 1, "requests in flight per connection (tcp only; http uses 1)");
DEFINE_double(rate, 0, "load mode, tcp: validations per second in all (0: closed loop)");
DEFINE_double(duration, 10, "measured seconds (burst: longest wait for the answers)");
DEFINE_double(warmup, 2, "seconds before measuring");
DEFINE_int32(threads, 1, "client threads");
DEFINE_bool(authenticate, false, "authenticate each connection (tcp) or session (http) first");
DEFINE_string(auth_key, "", "service-provider auth key sent with authentication (JSON text)");
DEFINE_string(google_oauth, "",
              "shortcut for a Google OAuth auth key: client_id,client_secret,refresh_token");
DEFINE_bool(unique_receipts, false, "a new purchase token for every request");
DEFINE_string(package_name, "com.example.bench", "Google Play package name");
DEFINE_string(product_id, "gem_100", "product id");
DEFINE_int32(server_pid, 0, "pid of the server whose memory is reported");
DEFINE_int64(max_requests, 0, "stop after this many measured answers (0: by time only)");
DEFINE_string(cpu_pids, "",
              "NAME=PID,...: processes whose CPU time (user + system) over the measured window "
              "is reported per answered request, as cpu_NAME_us=");
DEFINE_string(tls_ca_file, "",
              "tcp: speak TLS, verifying the server's certificate against these PEM CAs");
DEFINE_int32(store_port, 0,
             "port of biller-bench-store on --host: its accepted connections over the measured "
             "window are reported per 1,000 answers, as store_connections_per_1000=");

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

struct Stats {
  std::mutex mutex;
  std::vector<int64_t> latencies_us;
  std::map<int64_t, int64_t> results;  // result code -> count
  int64_t transport_errors = 0;
};

std::atomic<bool> measuring{false};
std::atomic<bool> stopping{false};
std::atomic<int64_t> measured_answers{0};
std::atomic<uint64_t> receipt_counter{0};
std::atomic<int> finished_connections{0};  // burst: connections with every answer in

std::string AuthKey() {
  if (!FLAGS_auth_key.empty()) return FLAGS_auth_key;
  if (!FLAGS_google_oauth.empty()) {
    auto first = FLAGS_google_oauth.find(',');
    auto second = FLAGS_google_oauth.find(',', first + 1);
    return tvx::MakeGooglePlayAuthKey(FLAGS_google_oauth.substr(0, first),
                                      FLAGS_google_oauth.substr(first + 1, second - first - 1),
                                      FLAGS_google_oauth.substr(second + 1));
  }
  return std::string();
}

std::string NextPurchaseToken() {
  static const std::string run = std::to_string(std::random_device{}());
  if (!FLAGS_unique_receipts) return "bench-token";
  return "bench-" + run + "-" + std::to_string(receipt_counter.fetch_add(1));
}

void Record(Stats* stats, int64_t latency_us, int64_t result) {
  if (!measuring) return;
  std::lock_guard<std::mutex> lock(stats->mutex);
  stats->latencies_us.push_back(latency_us);
  ++stats->results[result];
  if (FLAGS_max_requests > 0 && ++measured_answers >= FLAGS_max_requests) stopping = true;
}

int64_t ResultOf(const Biller::Response& response) {
  switch (response.type()) {
    case Biller::kFailure: return response.fail().code();
    case Biller::kAuthentication: return response.authentication().result();
    case Biller::kReceiptValidation: return response.receipt_validation().result();
  }
  return -1;
}

bool Burst() { return FLAGS_mode == "burst"; }

Biller::Request AuthenticationRequest() {
  Biller::Request request;
  request.set_request_uuid(tvx::util::ToBytes(tvx::RandomGenerator::GenerateUuid()));
  request.set_type(Biller::kAuthentication);
  request.mutable_authentication()->set_biller_client_id("biller-bench");
  const std::string key = AuthKey();
  if (!key.empty()) request.mutable_authentication()->add_service_provider_auth_key(key);
  return request;
}

Biller::Request ValidationRequest() {
  Biller::Request request;
  request.set_request_uuid(tvx::util::ToBytes(tvx::RandomGenerator::GenerateUuid()));
  request.set_type(Biller::kReceiptValidation);
  auto* validation = request.mutable_receipt_validation();
  validation->set_player_id("bench-player");
  validation->set_player_service_provider("guest");
  validation->set_receipt(
      tvx::MakeGooglePlayReceipt(FLAGS_package_name, FLAGS_product_id, NextPurchaseToken()));
  return request;
}

// With --tls_ca_file: the context every TCP connection's TLS comes from.
asio::ssl::context* tls_context = nullptr;

// One TCP connection, over TLS with --tls_ca_file. Everything it does runs on
// its own strand, so any number of client threads may drive the connections.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
 public:
  // `interval` and `phase` pace an open-loop load: one validation due every
  // `interval`, the first `phase` after the start.
  TcpConnection(asio::io_context& io, Stats* stats, Clock::duration interval,
                Clock::duration phase)
      : socket_(asio::make_strand(io)),
        timer_(socket_.get_executor()),
        stats_(stats),
        interval_(interval),
        phase_(phase) {}

  // Connects; `connected` learns whether it worked. Then Go starts the work.
  void Connect(const tcp::endpoint& endpoint, std::function<void(bool)> connected) {
    socket_.async_connect(endpoint, [self = shared_from_this(),
                                     connected = std::move(connected)](beast::error_code ec) {
      if (ec) {
        self->Fail();
        return connected(false);
      }
      self->socket_.set_option(tcp::no_delay(true));
      if (!tls_context) {
        self->ReadHeader();
        return connected(true);
      }
      self->tls_ = std::make_unique<TlsStream>(self->socket_, *tls_context);
      self->tls_->async_handshake(TlsStream::client, [self, connected](beast::error_code ec) {
        if (ec) {
          std::fprintf(stderr, "TLS handshake: %s\n", ec.message().c_str());
          self->Fail();
          return connected(false);
        }
        self->ReadHeader();
        connected(true);
      });
    });
  }

  void Go() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      if (self->closed_) return;
      if (FLAGS_authenticate) {
        self->authenticating_ = true;
        self->Write(AuthenticationRequest());
      } else {
        self->Begin();
      }
    });
  }

 private:
  using TlsStream = asio::ssl::stream<tcp::socket&>;

  // Runs `operation` on the TLS stream, or on the socket without TLS.
  template <typename Operation>
  void OnStream(Operation operation) {
    if (tls_) return operation(*tls_);
    operation(socket_);
  }

  void Begin() {
    if (Burst()) {
      burst_left_ = FLAGS_inflight;
    } else if (FLAGS_rate > 0) {
      next_due_ = Clock::now() + phase_;
      return Tick();
    }
    Fill();
  }

  // Open loop: one more validation is due.
  void Tick() {
    if (stopping) return;
    timer_.expires_at(next_due_);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->closed_) return;
      self->due_.push_back(self->next_due_);
      self->next_due_ += self->interval_;
      self->Fill();
      self->Tick();
    });
  }

  void Fill() {
    const size_t cap = static_cast<size_t>(std::max(1, FLAGS_inflight));
    if (Burst()) {
      for (; burst_left_ > 0; --burst_left_) Send(Clock::now());
    } else if (FLAGS_rate > 0) {
      // Requests held back by the cap keep the time they were due, so that
      // a stalled server shows in the latencies instead of slowing the load.
      while (!stopping && !due_.empty() && sent_at_.size() < cap) {
        Send(due_.front());
        due_.pop_front();
      }
    } else {
      while (!stopping && sent_at_.size() < cap) Send(Clock::now());
    }
  }

  void Send(Clock::time_point due) {
    Biller::Request request = ValidationRequest();
    sent_at_[request.request_uuid()] = due;
    Write(request);
  }

  void Write(const Biller::Request& request) {
    const bool idle = queue_.empty();
    queue_.push_back(tvx::framing::EncodeFrame(request.SerializeAsString()));
    if (idle) WriteNext();
  }

  void WriteNext() {
    OnStream([&](auto& stream) {
      asio::async_write(stream, asio::buffer(queue_.front()),
                        [self = shared_from_this()](beast::error_code ec, size_t) {
                          if (ec) return self->Fail();
                          self->queue_.pop_front();
                          if (!self->queue_.empty()) self->WriteNext();
                        });
    });
  }

  void ReadHeader() {
    OnStream([&](auto& stream) {
      asio::async_read(stream, asio::buffer(header_),
                       [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (ec) return self->Fail();
                         const uint32_t n = uint32_t{self->header_[0]} << 24 |
                                            uint32_t{self->header_[1]} << 16 |
                                            uint32_t{self->header_[2]} << 8 | self->header_[3];
                         self->body_.resize(n);
                         self->ReadBody();
                       });
    });
  }

  void ReadBody() {
    OnStream([&](auto& stream) {
      asio::async_read(stream, asio::buffer(body_),
                       [self = shared_from_this()](beast::error_code ec, size_t) {
                         if (ec) return self->Fail();
                         self->OnResponse();
                       });
    });
  }

  void OnResponse() {
    Biller::Response response;
    if (!response.ParseFromString(body_)) return Fail();
    if (authenticating_) {
      authenticating_ = false;
      if (ResultOf(response) != 0) {
        std::fprintf(stderr, "authentication refused: result %lld %s\n",
                     static_cast<long long>(ResultOf(response)),
                     response.fail().description().c_str());
        return Fail();
      }
      Begin();
    } else {
      auto it = sent_at_.find(response.request_uuid());
      if (it != sent_at_.end()) {
        Record(stats_,
               std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - it->second)
                   .count(),
               ResultOf(response));
        sent_at_.erase(it);
      }
      Fill();
    }
    if (Burst() && !authenticating_ && burst_left_ == 0 && sent_at_.empty()) return Finish();
    if (!stopping || !sent_at_.empty()) ReadHeader();
  }

  void Finish() {
    if (finished_) return;
    finished_ = true;
    ++finished_connections;
  }

  void Fail() {
    if (closed_) return;
    closed_ = true;
    if (!stopping) {
      std::lock_guard<std::mutex> lock(stats_->mutex);
      ++stats_->transport_errors;
    }
    beast::error_code ignored;
    socket_.close(ignored);
    timer_.cancel();
    Finish();
  }

  tcp::socket socket_;
  std::unique_ptr<TlsStream> tls_;  // over socket_, with --tls_ca_file
  asio::steady_timer timer_;
  Stats* stats_;
  const Clock::duration interval_;
  const Clock::duration phase_;
  unsigned char header_[4];
  std::string body_;
  std::deque<std::string> queue_;
  std::unordered_map<std::string, Clock::time_point> sent_at_;
  std::deque<Clock::time_point> due_;
  Clock::time_point next_due_;
  int burst_left_ = 0;
  bool authenticating_ = false;
  bool closed_ = false;
  bool finished_ = false;
};

// One keep-alive HTTP connection with one request at a time.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(asio::io_context& io, Stats* stats)
      : stream_(asio::make_strand(io)), stats_(stats) {}

  void Start(const tcp::endpoint& endpoint) {
    stream_.async_connect(endpoint, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->Fail();
      self->stream_.socket().set_option(tcp::no_delay(true));
      if (FLAGS_authenticate) {
        tvx::Json body = tvx::Json::Object();
        body.SetString("biller_client_id", "biller-bench");
        tvx::Json key;
        if (key.FromString(AuthKey()) && key.IsObject()) {
          for (const auto& name : {"client_id", "client_secret", "refresh_token"}) {
            if (key.HasAttribute(name)) {
              body.SetString(std::string("google_play_") + name, key.GetString(name));
            }
          }
        }
        self->authenticating_ = true;
        self->Send("/v1/authentication", body.ToString());
      } else {
        self->SendValidation();
      }
    });
  }

 private:
  void SendValidation() {
    if (stopping) return;
    tvx::Json body = tvx::Json::Object();
    body.SetString("sessionid", session_id_.empty() ? tvx::util::ToString(tvx::util::kNilUuid)
                                                    : session_id_);
    body.SetString("player_id", "bench-player");
    body.SetString("player_service_provider", "guest");
    body.SetString("package_name", FLAGS_package_name);
    body.SetString("product_id", FLAGS_product_id);
    body.SetString("purchase_token", NextPurchaseToken());
    Send("/v1/validation/googleplay", body.ToString());
  }

  void Send(const std::string& target, std::string body) {
    request_ = {};
    request_.method(http::verb::post);
    request_.target(target);
    request_.version(11);
    request_.set(http::field::host, FLAGS_host);
    request_.set(http::field::content_type, "application/json");
    request_.keep_alive(true);
    request_.body() = std::move(body);
    request_.prepare_payload();
    sent_at_ = Clock::now();
    http::async_write(stream_, request_, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->Fail();
      self->response_ = {};
      http::async_read(self->stream_, self->buffer_, self->response_,
                       [self](beast::error_code ec, size_t) {
                         if (ec) return self->Fail();
                         self->OnResponse();
                       });
    });
  }

  void OnResponse() {
    tvx::Json answer;
    answer.FromString(response_.body());
    if (authenticating_) {
      authenticating_ = false;
      session_id_ = answer.GetString("sessionid");
      if (answer.GetInteger("result") != 0 || session_id_.empty()) {
        std::fprintf(stderr, "authentication refused: %s\n", response_.body().c_str());
        return Fail();
      }
    } else {
      Record(stats_,
             std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent_at_)
                 .count(),
             answer.HasAttribute("result") ? answer.GetInteger("result") : -1);
    }
    SendValidation();
  }

  void Fail() {
    if (!stopping) {
      std::lock_guard<std::mutex> lock(stats_->mutex);
      ++stats_->transport_errors;
    }
    beast::error_code ignored;
    stream_.socket().close(ignored);
  }

  beast::tcp_stream stream_;
  Stats* stats_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  http::response<http::string_body> response_;
  Clock::time_point sent_at_;
  std::string session_id_;
  bool authenticating_ = false;
};

// A "Vm...:" line of the server's /proc status in KiB; -1 when unknown.
long ServerMemoryKb(const char* field) {
  if (FLAGS_server_pid <= 0) return -1;
  std::ifstream status("/proc/" + std::to_string(FLAGS_server_pid) + "/status");
  const size_t length = std::strlen(field);
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return std::strtol(line.c_str() + length, nullptr, 10);
  }
  return -1;
}

// User + system CPU time of a process so far, in microseconds; -1 when unknown.
int64_t ProcessCpuUs(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name may hold spaces; the fields after it are plain.
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  long long utime = -1, stime = -1;
  // utime and stime are fields 14 and 15; the first after ")" is field 3.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  if (utime < 0 || stime < 0) return -1;
  return (utime + stime) * 1'000'000 / sysconf(_SC_CLK_TCK);
}

// The processes named by --cpu_pids and their CPU time at one moment.
struct CpuSample {
  std::vector<std::pair<std::string, int>> processes;
  std::vector<int64_t> cpu_us;
};

CpuSample SampleCpu() {
  CpuSample sample;
  std::istringstream list(FLAGS_cpu_pids);
  std::string entry;
  while (std::getline(list, entry, ',')) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    const int pid = std::atoi(entry.c_str() + equals + 1);
    sample.processes.emplace_back(entry.substr(0, equals), pid);
    sample.cpu_us.push_back(pid > 0 ? ProcessCpuUs(pid) : -1);
  }
  return sample;
}

// Connections biller-bench-store has accepted so far; -1 when unknown.
int64_t StoreConnections() {
  if (FLAGS_store_port <= 0) return -1;
  try {
    asio::io_context io;
    beast::tcp_stream stream(io);
    stream.expires_after(std::chrono::seconds(5));
    stream.connect(tcp::endpoint(asio::ip::make_address(FLAGS_host),
                                 static_cast<unsigned short>(FLAGS_store_port)));
    http::request<http::empty_body> request(http::verb::get, "/stats", 11);
    request.set(http::field::host, FLAGS_host);
    request.keep_alive(false);
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    tvx::Json stats;
    if (!stats.FromString(response.body()) || !stats.HasAttribute("connections")) return -1;
    return stats.GetInteger("connections");
  } catch (const std::exception&) {
    return -1;
  }
}

int64_t Percentile(const std::vector<int64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t index = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

template <typename Predicate>
bool WaitFor(double seconds, Predicate done) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  gflags::SetUsageMessage("load generator for the biller");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  if (FLAGS_protocol != "tcp" && FLAGS_protocol != "http") {
    std::fprintf(stderr, "--protocol must be tcp or http\n");
    return 2;
  }
  if (FLAGS_mode != "load" && FLAGS_mode != "burst" && FLAGS_mode != "idle") {
    std::fprintf(stderr, "--mode must be load, burst or idle\n");
    return 2;
  }
  if (FLAGS_protocol == "http" && (FLAGS_mode != "load" || FLAGS_rate > 0)) {
    std::fprintf(stderr, "http supports the closed-loop load mode only\n");
    return 2;
  }
  asio::ssl::context tls(asio::ssl::context::tls_client);
  if (!FLAGS_tls_ca_file.empty()) {
    if (FLAGS_protocol != "tcp") {
      std::fprintf(stderr, "--tls_ca_file works with --protocol=tcp\n");
      return 2;
    }
    beast::error_code ec;
    tls.load_verify_file(FLAGS_tls_ca_file, ec);
    if (ec) {
      std::fprintf(stderr, "--tls_ca_file: %s\n", ec.message().c_str());
      return 2;
    }
    tls.set_verify_mode(asio::ssl::verify_peer);
    tls_context = &tls;
  }
  // Thousands of connections need as many descriptors.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  asio::io_context io(FLAGS_threads);
  auto endpoint = tcp::endpoint(asio::ip::make_address(FLAGS_host),
                                static_cast<unsigned short>(FLAGS_port));
  Stats stats;
  const bool load = FLAGS_mode == "load";
  std::atomic<int> connected{0};
  std::atomic<int> refused{0};
  std::vector<std::shared_ptr<TcpConnection>> tcp_connections;
  const auto interval = FLAGS_rate > 0 ? std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(FLAGS_connections /
                                                                           FLAGS_rate))
                                       : Clock::duration::zero();
  for (int i = 0; i < FLAGS_connections; ++i) {
    if (FLAGS_protocol == "http") {
      std::make_shared<HttpConnection>(io, &stats)->Start(endpoint);
      continue;
    }
    auto connection =
        std::make_shared<TcpConnection>(io, &stats, interval, interval * i / FLAGS_connections);
    tcp_connections.push_back(connection);
    // The load mode starts each connection as soon as it is up; the others
    // wait until every connection is, so that the burst arrives at once.
    connection->Connect(endpoint, [&connected, &refused, load, connection](bool ok) {
      ++(ok ? connected : refused);
      if (ok && load) connection->Go();
    });
  }
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < std::max(1, FLAGS_threads); ++i) threads.emplace_back([&io] { io.run(); });

  double elapsed = 0;
  long rss_kb = -1;
  CpuSample cpu_before, cpu_after;
  int64_t store_before = -1, store_after = -1;
  const auto begin_window = [&] {
    store_before = StoreConnections();
    cpu_before = SampleCpu();
    measuring = true;
  };
  const auto end_window = [&] {
    measuring = false;
    cpu_after = SampleCpu();
    store_after = StoreConnections();
  };
  int64_t expected = 0;
  if (load) {
    std::this_thread::sleep_for(std::chrono::duration<double>(FLAGS_warmup));
    begin_window();
    const auto started = Clock::now();
    WaitFor(FLAGS_duration, [] { return stopping.load(); });
    end_window();
    elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    rss_kb = ServerMemoryKb("VmRSS:");
    stopping = true;
    // Answers still in flight are not counted; give them a moment, then stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  } else {
    WaitFor(60, [&] { return connected + refused == FLAGS_connections; });
    if (FLAGS_mode == "idle") {
      WaitFor(FLAGS_duration, [] { return false; });
      rss_kb = ServerMemoryKb("VmRSS:");
    } else {
      begin_window();
      expected = int64_t{connected} * FLAGS_inflight;
      const auto started = Clock::now();
      for (auto& connection : tcp_connections) connection->Go();
      WaitFor(FLAGS_duration, [&] { return finished_connections >= FLAGS_connections; });
      elapsed = std::chrono::duration<double>(Clock::now() - started).count();
      rss_kb = ServerMemoryKb("VmRSS:");
      end_window();
    }
    stopping = true;
  }
  work.reset();
  io.stop();
  for (auto& t : threads) t.join();

  std::vector<int64_t> latencies;
  std::map<int64_t, int64_t> results;
  int64_t transport_errors;
  {
    std::lock_guard<std::mutex> lock(stats.mutex);
    latencies = stats.latencies_us;
    results = stats.results;
    transport_errors = stats.transport_errors;
  }
  std::sort(latencies.begin(), latencies.end());
  const double rps = elapsed > 0 ? static_cast<double>(latencies.size()) / elapsed : 0;
  std::string by_code;
  for (const auto& [code, count] : results) {
    if (!by_code.empty()) by_code += ',';
    by_code += std::to_string(code);
    by_code += ':';
    by_code += std::to_string(count);
  }
  const long peak_rss_kb = ServerMemoryKb("VmHWM:");
  // CPU microseconds per answered request of each process, and new store
  // connections per 1,000 answers: what the servers spend, steadier than
  // req/s on a shared machine.
  std::string extra_human, extra_keys;
  char number[64];
  for (size_t i = 0; i < cpu_before.processes.size() && i < cpu_after.cpu_us.size(); ++i) {
    const std::string& name = cpu_before.processes[i].first;
    if (cpu_before.cpu_us[i] < 0 || cpu_after.cpu_us[i] < 0 || latencies.empty()) {
      std::snprintf(number, sizeof number, "n/a");
    } else {
      std::snprintf(number, sizeof number, "%.1f",
                    static_cast<double>(cpu_after.cpu_us[i] - cpu_before.cpu_us[i]) /
                        static_cast<double>(latencies.size()));
    }
    extra_human += ", " + name + " CPU " + number + " us/req";
    extra_keys += " cpu_" + name + "_us=" + number;
  }
  if (FLAGS_store_port > 0) {
    if (store_before < 0 || store_after < 0 || latencies.empty()) {
      std::snprintf(number, sizeof number, "n/a");
    } else {
      std::snprintf(number, sizeof number, "%.2f",
                    static_cast<double>(store_after - store_before) * 1000.0 /
                        static_cast<double>(latencies.size()));
    }
    extra_human += std::string(", new store connections ") + number + " per 1000";
    extra_keys += std::string(" store_connections_per_1000=") + number +
                  " store_connections=" + std::to_string(store_after - store_before);
  }
  const int connections = FLAGS_protocol == "http" ? FLAGS_connections : connected.load();
  std::printf(
      "%s %s, %d connections x %d in flight: %.0f req/s, p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, "
      "p99.9 %.3f ms, results {%s}, transport errors %lld, server RSS %ld KiB (peak %ld KiB)%s\n",
      FLAGS_protocol.c_str(), FLAGS_mode.c_str(), connections,
      FLAGS_protocol == "tcp" ? FLAGS_inflight : 1, rps, Percentile(latencies, 50) / 1000.0,
      Percentile(latencies, 90) / 1000.0, Percentile(latencies, 99) / 1000.0,
      Percentile(latencies, 99.9) / 1000.0, by_code.c_str(),
      static_cast<long long>(transport_errors), rss_kb, peak_rss_kb, extra_human.c_str());
  std::printf(
      "mode=%s connected=%d rps=%.1f requests=%zu expected=%lld elapsed_s=%.3f p50_us=%lld "
      "p90_us=%lld p99_us=%lld p999_us=%lld results=%s transport_errors=%lld rss_kb=%ld "
      "peak_rss_kb=%ld%s\n",
      FLAGS_mode.c_str(), connections, rps, latencies.size(), static_cast<long long>(expected),
      elapsed, static_cast<long long>(Percentile(latencies, 50)),
      static_cast<long long>(Percentile(latencies, 90)),
      static_cast<long long>(Percentile(latencies, 99)),
      static_cast<long long>(Percentile(latencies, 99.9)), by_code.c_str(),
      static_cast<long long>(transport_errors), rss_kb, peak_rss_kb, extra_keys.c_str());
  if (FLAGS_mode == "idle") return connections == FLAGS_connections ? 0 : 1;
  if (FLAGS_mode == "burst") return static_cast<int64_t>(latencies.size()) == expected ? 0 : 1;
  return latencies.empty() ? 1 : 0;
}
