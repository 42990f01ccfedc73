#include "framework/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>
#include <optional>
#include <utility>
#include <unordered_map>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <gflags/gflags.h>
#include <glog/logging.h>

DEFINE_int64(http_client_connect_timeout_ms, tvx::HttpClient::kDefaultConnectTimeoutMs,
             "connect timeout of store HTTP requests, in milliseconds");
DEFINE_int64(http_client_timeout_ms, tvx::HttpClient::kDefaultTimeoutMs,
             "total timeout of store HTTP requests, in milliseconds; a store that has not "
             "answered by then counts as unreachable");

namespace tvx {
namespace {

using TransportCode = http::TransportCode;

static_assert(static_cast<int>(TransportCode::kOk) == CURLE_OK);
static_assert(static_cast<int>(TransportCode::kUnsupportedProtocol) == CURLE_UNSUPPORTED_PROTOCOL);
static_assert(static_cast<int>(TransportCode::kMalformedUrl) == CURLE_URL_MALFORMAT);
static_assert(static_cast<int>(TransportCode::kCouldNotResolveHost) == CURLE_COULDNT_RESOLVE_HOST);
static_assert(static_cast<int>(TransportCode::kCouldNotConnect) == CURLE_COULDNT_CONNECT);
static_assert(static_cast<int>(TransportCode::kWriteError) == CURLE_WRITE_ERROR);
static_assert(static_cast<int>(TransportCode::kTimedOut) == CURLE_OPERATION_TIMEDOUT);
static_assert(static_cast<int>(TransportCode::kAborted) == CURLE_ABORTED_BY_CALLBACK);
static_assert(static_cast<int>(TransportCode::kSslConnectError) == CURLE_SSL_CONNECT_ERROR);
static_assert(static_cast<int>(TransportCode::kGotNothing) == CURLE_GOT_NOTHING);
static_assert(static_cast<int>(TransportCode::kSendError) == CURLE_SEND_ERROR);
static_assert(static_cast<int>(TransportCode::kReceiveError) == CURLE_RECV_ERROR);
static_assert(static_cast<int>(TransportCode::kPeerFailedVerification) ==
              CURLE_PEER_FAILED_VERIFICATION);

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      LOG(FATAL) << "HttpClient: curl_global_init failed";
    }
  });
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool SameHeaderName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

// One request from the moment it is sent until its handler is posted. Owned
// by the multi service while curl works on it; the easy handle belongs to the
// service.
struct Transfer {
  CURL* easy = nullptr;
  std::string url;
  std::shared_ptr<const curl_slist> headers;  // the client's, shared until it changes them
  std::shared_ptr<const std::string> body;  // POST when set; curl reads it in place
  long connect_timeout_ms = 0;
  long timeout_ms = 0;
  size_t max_response_bytes = 0;
  std::string ca_file;  // trust these CAs instead of the system's when set
  http::Response response;
  HttpClient::Handler handler;
};

size_t OnBodyBytes(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->response.body.size() + bytes > transfer->max_response_bytes) {
    return 0;  // curl ends the transfer with CURLE_WRITE_ERROR
  }
  transfer->response.body.append(data, bytes);
  return bytes;
}

// The curl multi handle of one io context. As an Asio service it is made on
// first use and lives exactly as long as its io context, so every handler it
// queues may refer to it: Asio never runs a handler after shutting down the
// context's services, and destroys queued handlers unrun.
//
// All curl calls run on one strand; the handlers of finished requests are
// posted to the io context itself so they run in parallel.
//
// Connections: curl keeps every connection of the multi handle, busy or idle,
// in one cache and closes the oldest idle one whenever a finished transfer
// finds the cache over CURLMOPT_MAXCONNECTS. A size below the requests in
// flight therefore closes a connection after every request and opens a new
// one for the next: under load the store would see a new connection (and,
// over HTTPS, a TLS handshake) per request, and the closed sockets would
// pile up in TIME_WAIT until no local port is left. So the cache never
// closes a connection for its size; curl closes one that has been idle for
// CURLOPT_MAXAGE_CONN (118 s), or that the store has closed, when it next
// looks for a connection. Open connections are thus bounded by the most
// requests in flight at once in the last two minutes.
//
// Easy handles: a finished transfer's handle is kept for the next request
// (up to kIdleEasyHandles), which saves making and freeing curl's
// per-transfer state for every request. A kept handle keeps the options
// every request shares (set once, when the handle is made); each request
// sets only its own. A handle kept with another CA file than the next
// request's is reset and set up again.
class CurlMultiService : public boost::asio::execution_context::service {
 public:
  using Clock = boost::asio::steady_timer::clock_type;
  static boost::asio::execution_context::id id;
  static constexpr long kUnlimitedConnections = 1L << 30;
  static constexpr size_t kIdleEasyHandles = 64;
  // curl's receive buffer, allocated per transfer in flight (16 KiB by
  // default). Store answers are a few hundred bytes to a few KiB; a larger
  // one is read in more pieces. With 1 KiB, a validation parked on a slow
  // store holds about 3 KiB less resident memory (2,000 parked: 57.3 MB peak
  // RSS with 16 KiB buffers, 50.7 MB with 1 KiB).
  static constexpr long kReceiveBufferBytes = 1024;

  explicit CurlMultiService(IoContext& io)
      : boost::asio::execution_context::service(io),
        io_(io),
        strand_(boost::asio::make_strand(io)),
        timer_(io) {
    // Registers the descriptor service before this one, so that it is shut
    // down after this one releases its descriptors.
    boost::asio::posix::stream_descriptor probe(io);
    InitCurlOnce();
    multi_ = curl_multi_init();
    if (!multi_) LOG(FATAL) << "HttpClient: curl_multi_init failed";
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlMultiService::OnSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlMultiService::OnTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kUnlimitedConnections);
  }

  ~CurlMultiService() override {
    shut_down_ = true;
    for (IdleEasy& idle : idle_easy_) curl_easy_cleanup(idle.easy);
    curl_multi_cleanup(multi_);
  }

  // Any thread.
  void Add(std::unique_ptr<Transfer> transfer) {
    boost::asio::post(strand_, [this, transfer = std::move(transfer)]() mutable {
      transfer->easy = TakeEasy(transfer->ca_file);
      Configure(*transfer);
      CURL* easy = transfer->easy;
      // curl asks to act at once on the new transfer (a 0 ms timeout from
      // within curl_multi_add_handle); that is done right here instead of
      // in a posted handler.
      adding_ = true;
      const CURLMcode added = curl_multi_add_handle(multi_, easy);
      adding_ = false;
      const bool act_now = std::exchange(act_now_, false);
      if (added != CURLM_OK) {
        LOG(ERROR) << "HttpClient: curl_multi_add_handle failed: " << curl_multi_strerror(added);
        ReleaseEasy(easy, transfer->ca_file);
        Complete(std::move(transfer), CURLE_FAILED_INIT, 0);
        return;
      }
      transfers_.emplace(easy, std::move(transfer));
      if (act_now) Act(CURL_SOCKET_TIMEOUT, 0);
    });
  }

 private:
  // What curl wants to hear about one socket.
  struct SocketWatch {
    SocketWatch(IoContext& io, curl_socket_t fd) : descriptor(io), fd(fd) {}
    boost::asio::posix::stream_descriptor descriptor;
    curl_socket_t fd;
    int wanted = 0;  // CURL_POLL_IN / CURL_POLL_OUT bits
    bool reading = false;
    bool writing = false;
    bool removed = false;
  };

  void shutdown() override {
    shut_down_ = true;
    for (auto& [fd, watch] : sockets_) {
      watch->removed = true;
      // curl owns the socket; the descriptor only watched it.
      watch->descriptor.release();
    }
    sockets_.clear();
    timer_.cancel();
    // The handlers of requests still in flight are dropped unrun: their io
    // context is going away.
    for (auto& [easy, transfer] : transfers_) {
      curl_multi_remove_handle(multi_, easy);
      curl_easy_cleanup(easy);
    }
    transfers_.clear();
  }

  // An easy handle set up with the shared options and `ca_file`: a kept
  // one, or a new one. Its per-request options are still the last
  // request's; Configure replaces every one of them.
  CURL* TakeEasy(const std::string& ca_file) {
    if (!idle_easy_.empty()) {
      IdleEasy idle = std::move(idle_easy_.back());
      idle_easy_.pop_back();
      if (idle.ca_file != ca_file) {
        curl_easy_reset(idle.easy);
        SetSharedOptions(idle.easy, ca_file);
      }
      return idle.easy;
    }
    CURL* easy = curl_easy_init();
    if (!easy) LOG(FATAL) << "HttpClient: curl_easy_init failed";
    SetSharedOptions(easy, ca_file);
    return easy;
  }

  // Takes back a handle that is in no multi handle, with the CA file it was
  // set up with. The handle still points at its finished request's
  // transfer, headers and body; curl reads none of them before the next
  // Configure sets its own, and curl_easy_cleanup frees none of them.
  void ReleaseEasy(CURL* easy, const std::string& ca_file) {
    if (idle_easy_.size() >= kIdleEasyHandles) {
      curl_easy_cleanup(easy);
      return;
    }
    idle_easy_.push_back(IdleEasy{easy, ca_file});
  }

  // The options every request of a handle set up with `ca_file` shares.
  static void SetSharedOptions(CURL* easy, const std::string& ca_file) {
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // curl copies the text.
    if (!ca_file.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str());
    curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "talvex-biller");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBodyBytes);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
  }

  // Sets every option that differs between requests.
  static void Configure(Transfer& transfer) {
    CURL* easy = transfer.easy;
    curl_easy_setopt(easy, CURLOPT_URL, transfer.url.c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, transfer.connect_timeout_ms);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, transfer.timeout_ms);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    if (transfer.body) {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(transfer.body->size()));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer.body->data());
    } else {
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    }
    // curl only reads the list.
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, const_cast<curl_slist*>(transfer.headers.get()));
  }

  static int OnSocket(CURL*, curl_socket_t fd, int what, void* self, void*) {
    static_cast<CurlMultiService*>(self)->Watch(fd, what);
    return 0;
  }

  static int OnTimer(CURLM*, long timeout_ms, void* self) {
    static_cast<CurlMultiService*>(self)->SetTimer(timeout_ms);
    return 0;
  }

  void Watch(curl_socket_t fd, int what) {
    if (shut_down_) return;
    if (what == CURL_POLL_REMOVE) {
      auto it = sockets_.find(fd);
      if (it == sockets_.end()) return;
      it->second->removed = true;
      // Deregisters the socket before curl closes it; pending waits end
      // with operation_aborted.
      it->second->descriptor.release();
      sockets_.erase(it);
      return;
    }
    std::shared_ptr<SocketWatch>& watch = sockets_[fd];
    if (!watch) {
      watch = std::make_shared<SocketWatch>(io_, fd);
      boost::system::error_code ec;
      watch->descriptor.assign(fd, ec);
      if (ec) {
        // The transfer on this socket runs into its timeout.
        LOG(ERROR) << "HttpClient: cannot watch socket " << fd << ": " << ec.message();
        return;
      }
    }
    watch->wanted = what;
    Arm(watch);
  }

  void Arm(const std::shared_ptr<SocketWatch>& watch) {
    using Descriptor = boost::asio::posix::stream_descriptor;
    if ((watch->wanted & CURL_POLL_IN) && !watch->reading) {
      watch->reading = true;
      watch->descriptor.async_wait(
          Descriptor::wait_read,
          boost::asio::bind_executor(strand_, [this, watch](const boost::system::error_code& ec) {
            watch->reading = false;
            OnReady(watch, ec, CURL_POLL_IN, CURL_CSELECT_IN);
          }));
    }
    if ((watch->wanted & CURL_POLL_OUT) && !watch->writing) {
      watch->writing = true;
      watch->descriptor.async_wait(
          Descriptor::wait_write,
          boost::asio::bind_executor(strand_, [this, watch](const boost::system::error_code& ec) {
            watch->writing = false;
            OnReady(watch, ec, CURL_POLL_OUT, CURL_CSELECT_OUT);
          }));
    }
  }

  void OnReady(const std::shared_ptr<SocketWatch>& watch, const boost::system::error_code& ec,
               int direction, int event) {
    if (watch->removed || ec == boost::asio::error::operation_aborted) return;
    if (ec) {
      // Not re-armed: a wait that fails would fail again at once. curl ends
      // the transfer, at the latest at its timeout.
      Act(watch->fd, CURL_CSELECT_ERR);
      return;
    }
    if ((watch->wanted & direction) != 0) Act(watch->fd, event);
    if (!watch->removed) Arm(watch);
  }

  // curl's single timeout, kept lazily: a request finishing or starting
  // moves it often, and re-arming an Asio timer cancels its pending wait,
  // which costs a handler run and a system call each time. So a later
  // deadline only is noted, and the pending wait, which expires sooner,
  // waits again for the rest; only an earlier deadline re-arms the timer.
  void SetTimer(long timeout_ms) {
    if (shut_down_) return;
    if (timeout_ms < 0) {
      // No transfer left: nothing must keep the io context busy.
      deadline_.reset();
      if (timer_pending_) {
        timer_pending_ = false;
        ++timer_generation_;
        timer_.cancel();
      }
      return;
    }
    if (timeout_ms == 0) {
      if (adding_) {
        act_now_ = true;
        return;
      }
      // "Act now": a post costs no timer re-arm. A pending wait, if any,
      // only brings a harmless extra check.
      boost::asio::post(strand_, [this] {
        if (!shut_down_) Act(CURL_SOCKET_TIMEOUT, 0);
      });
      return;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    deadline_ = deadline;
    if (timer_pending_ && timer_.expiry() <= deadline) return;
    WaitUntil(deadline);
  }

  void WaitUntil(Clock::time_point deadline) {
    timer_pending_ = true;
    const uint64_t generation = ++timer_generation_;
    timer_.expires_at(deadline);
    timer_.async_wait(
        boost::asio::bind_executor(strand_, [this, generation](const boost::system::error_code& ec) {
          // A wait replaced by a later WaitUntil is stale, even when it had
          // already expired.
          if (ec || generation != timer_generation_) return;
          timer_pending_ = false;
          if (!deadline_) return;
          if (Clock::now() < *deadline_) return WaitUntil(*deadline_);
          deadline_.reset();
          Act(CURL_SOCKET_TIMEOUT, 0);
        }));
  }

  void Act(curl_socket_t fd, int event) {
    int running = 0;
    const CURLMcode acted = curl_multi_socket_action(multi_, fd, event, &running);
    if (acted != CURLM_OK) {
      LOG(ERROR) << "HttpClient: curl_multi_socket_action failed: " << curl_multi_strerror(acted);
    }
    CollectFinished();
  }

  void CollectFinished() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode result = message->data.result;
      auto it = transfers_.find(easy);
      curl_multi_remove_handle(multi_, easy);
      if (it == transfers_.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(it->second);
      transfers_.erase(it);
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      ReleaseEasy(easy, transfer->ca_file);
      Complete(std::move(transfer), result, status);
    }
  }

  void Complete(std::unique_ptr<Transfer> transfer, CURLcode result, long status) {
    transfer->response.status_code = static_cast<int>(status);
    if (transfer->easy && result == CURLE_OK) {
      curl_header* field = nullptr;
      while ((field = curl_easy_nextheader(transfer->easy, CURLH_HEADER, -1, field))) {
        transfer->response.headers.emplace_back(field->name, field->value);
      }
    }
    boost::asio::post(io_, [handler = std::move(transfer->handler),
                            response = std::move(transfer->response), result] {
      handler(static_cast<TransportCode>(result), response);
    });
  }

  IoContext& io_;
  boost::asio::strand<IoContext::executor_type> strand_;
  boost::asio::steady_timer timer_;
  CURLM* multi_ = nullptr;
  bool shut_down_ = false;
  // curl's timeout (see SetTimer); on strand_ only.
  std::optional<Clock::time_point> deadline_;
  bool timer_pending_ = false;
  uint64_t timer_generation_ = 0;
  bool adding_ = false;   // within curl_multi_add_handle
  bool act_now_ = false;  // curl asked to act at once meanwhile
  // The members below are touched only on strand_ (or in shutdown, when no
  // thread runs the context any more).
  std::unordered_map<curl_socket_t, std::shared_ptr<SocketWatch>> sockets_;
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> transfers_;
  struct IdleEasy {
    CURL* easy;
    std::string ca_file;  // the handle's CURLOPT_CAINFO; empty: the system's
  };
  std::vector<IdleEasy> idle_easy_;  // in no multi handle
};

boost::asio::execution_context::id CurlMultiService::id;

}  // namespace

namespace http {

std::string DescribeTransportCode(TransportCode code) {
  return curl_easy_strerror(static_cast<CURLcode>(code));
}

std::string UrlEncode(std::string_view text) {
  InitCurlOnce();
  if (text.empty()) return std::string();
  char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
  if (!escaped) LOG(FATAL) << "HttpClient: curl_easy_escape failed";
  std::string result(escaped);
  curl_free(escaped);
  return result;
}

std::string MakeFormBody(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += UrlEncode(name);
    body += '=';
    body += UrlEncode(value);
  }
  return body;
}

}  // namespace http

HttpClient::HttpClient(const std::shared_ptr<IoContext>& io)
    : io_(io),
      connect_timeout_ms_(FLAGS_http_client_connect_timeout_ms > 0
                              ? FLAGS_http_client_connect_timeout_ms
                              : kDefaultConnectTimeoutMs),
      timeout_ms_(FLAGS_http_client_timeout_ms > 0 ? FLAGS_http_client_timeout_ms
                                                   : kDefaultTimeoutMs) {}

HttpClient::~HttpClient() = default;

void HttpClient::SetHeader(const std::string& name, const std::string& value) {
  // A line break would let a value smuggle further headers into the request.
  if (name.empty() || HasLineBreak(name) || HasLineBreak(value)) {
    LOG(ERROR) << "HttpClient: header refused: " << name;
    return;
  }
  header_list_.reset();
  for (auto& header : headers_) {
    if (SameHeaderName(header.first, name)) {
      header.second = value;
      return;
    }
  }
  headers_.emplace_back(name, value);
}

void HttpClient::ResetHeader() {
  headers_.clear();
  header_list_.reset();
}

void HttpClient::SetTimeouts(int64_t connect_timeout_ms, int64_t total_timeout_ms) {
  if (connect_timeout_ms > 0) connect_timeout_ms_ = connect_timeout_ms;
  if (total_timeout_ms > 0) timeout_ms_ = total_timeout_ms;
}

void HttpClient::SetMaxResponseBytes(size_t bytes) { max_response_bytes_ = bytes; }

void HttpClient::PostAsync(const std::string& url, std::shared_ptr<const std::string> body,
                           Handler handler, int64_t timeout_ms) {
  if (!body) body = std::make_shared<const std::string>();
  Send(url, std::move(body), std::move(handler), timeout_ms);
}

void HttpClient::GetAsync(const std::string& url, Handler handler, int64_t timeout_ms) {
  Send(url, nullptr, std::move(handler), timeout_ms);
}

void HttpClient::Send(const std::string& url, std::shared_ptr<const std::string> body,
                      Handler handler, int64_t timeout_ms) {
  std::shared_ptr<IoContext> io = io_.lock();
  if (!io) {
    handler(TransportCode::kAborted, http::Response());
    return;
  }
  InitCurlOnce();
  auto transfer = std::make_unique<Transfer>();
  transfer->url = url;
  transfer->connect_timeout_ms = static_cast<long>(connect_timeout_ms_);
  transfer->timeout_ms = static_cast<long>(timeout_ms > 0 ? timeout_ms : timeout_ms_);
  transfer->max_response_bytes = max_response_bytes_;
  transfer->ca_file = ca_file_;
  transfer->handler = std::move(handler);
  transfer->body = std::move(body);
  if (!header_list_) {
    curl_slist* list = nullptr;
    for (const auto& [name, value] : headers_) {
      // "Name;" is curl's way of sending a header with an empty value.
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      list = curl_slist_append(list, line.c_str());
    }
    // Stores answer at once; waiting for "100 Continue" would only add a delay.
    list = curl_slist_append(list, "Expect:");
    header_list_.reset(list, [](const curl_slist* l) {
      curl_slist_free_all(const_cast<curl_slist*>(l));
    });
  }
  transfer->headers = header_list_;

  boost::asio::use_service<CurlMultiService>(*io).Add(std::move(transfer));
}

}  // namespace tvx
