// BillingAgent lifecycle: Start and Stop.
#include "src/billing_agent.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <glog/logging.h>

#include "framework/acceptor.h"
#include "framework/framework_flags.h"
#include "src/billing_agent_http.h"
#include "src/billing_agent_state.h"
#include "src/billing_statistics.h"
#include "src/google_play_adapter.h"
#include "src/http_rendering.h"
#include "src/one_store_adapter.h"
#include "src/revocations.h"
#include "src/store_notifications.h"
#include "src/voided_purchases_poller.h"

namespace tvx {

std::shared_ptr<IoContext> the_io_service;
std::string the_io_group_name;
bool the_bypass_mode = false;
std::shared_ptr<TcpServer> the_tcp_server;
std::shared_ptr<HttpServer> the_http_server;
std::atomic<TimerId> the_last1min_refresh_timer_id{Timer::kInvalidTimerId};

namespace {

// How long the connections of a stopping agent get to write their last
// answers before they are closed.
constexpr auto kAnswerFlushTime = std::chrono::seconds(5);

TcpServerOptions TcpOptionsFromFlags() {
  TcpServerOptions options;
  options.bind_address = FLAGS_bind_address;
  options.max_connections = static_cast<size_t>(std::max(0, FLAGS_tcp_max_connections));
  options.frame_timeout = std::chrono::milliseconds(std::max(0, FLAGS_tcp_frame_timeout_ms));
  options.idle_timeout = std::chrono::seconds(std::max(0, FLAGS_tcp_idle_timeout_s));
  options.max_inflight_per_connection =
      static_cast<size_t>(std::max(0, FLAGS_tcp_max_inflight_per_connection));
  return options;
}

}  // namespace

std::shared_ptr<IoContext> AgentIo() {
  std::shared_ptr<IoContext> io = IoService::GetIoGroup(the_io_group_name);
  return io ? io : the_io_service;
}

bool BillingAgent::Start(const std::string& io_group_name, uint16_t tcp_port,
                         uint16_t http_port, bool bypass, const std::string& db_address,
                         const std::string& db_user, const std::string& db_password,
                         const std::string& db_name, uint64_t connection_count,
                         const std::string& character_set) {
  if (!(!the_tcp_server && !the_http_server)) {
    LOG(FATAL) << "Assert failed: ! the_tcp_server && ! the_http_server";
  }

  the_io_service = IoService::GetIoGroup(io_group_name);
  if (!the_io_service) LOG(FATAL) << "Assert failed: the_io_service";
  the_bypass_mode = bypass;
  the_io_group_name = io_group_name;

  // --- receipt database and schema ---
  if (!StartReceiptDatabase(db_address, db_user, db_password, db_name, connection_count,
                            character_set)) {
    return true;  // the schema was exported and the engine is shutting down
  }

  // --- store adapters ---
  GooglePlayAdapter::SetIoService(the_io_service);
  OneStoreAdapter::SetIoService(the_io_service);

  // --- TLS of both listeners (the flags were checked at start-up) ---
  std::string tls_error;
  const std::shared_ptr<TcpSSLOption> tls = ListenerTlsFromFlags(&tls_error);
  if (!tls_error.empty()) LOG(FATAL) << tls_error;

  // --- TCP server ---
  if (tcp_port != 0) {
    the_tcp_server = TcpServer::Create(io_group_name, tls, &BillingAgent::CreateTcpTransport);
    if (the_tcp_server) the_tcp_server->SetOptions(TcpOptionsFromFlags());
    if (!the_tcp_server || !the_tcp_server->Start(tcp_port)) {
      LOG(FATAL) << "failed to start tcp server";
    }
  }

  // --- HTTP server ---
  if (http_port != 0) {
    HttpServerOptions http_options;
    http_options.bind_address = FLAGS_bind_address;
    http_options.kept_headers = {kHttpSessionHeader};
    http_options.tls = tls;
    http_options.handshake_timeout =
        std::chrono::milliseconds(std::max(0, FLAGS_tcp_frame_timeout_ms));
    the_http_server = HttpServer::Create(io_group_name, http_options);
    if (!the_http_server) LOG(FATAL) << "failed to start http server";
    the_http_server->RegisterHandler(kHttpAuthenticationPath, &OnHttpAuthentication);
    the_http_server->RegisterHandler(kHttpGooglePlayValidationPath, &OnHttpGooglePlayValidation);
    the_http_server->RegisterHandler(kHttpAppleAppStoreValidationPath,
                                     &OnHttpAppleAppStoreValidation);
    the_http_server->RegisterHandler(kHttpTStoreValidationPath, &OnHttpTStoreValidation);
    the_http_server->RegisterHandler(kHttpOneStoreValidationPath, &OnHttpOneStoreValidation);
    the_http_server->RegisterHandler(kHttpAppStoreNotificationPath, &OnHttpAppStoreNotification);
    the_http_server->RegisterHandler(kHttpGooglePlayNotificationPath,
                                     &OnHttpGooglePlayNotification);
    if (!the_http_server->Start(http_port)) LOG(FATAL) << "failed to start http server";
  }

  // --- statistics counters and rotation timer ---
  StartStatistics();
  // --- revocations: the feed and the voided-purchases pollers ---
  StartRevocationFeed();
  StartVoidedPurchasesPollers();

  SetListenersReady(true);
  return true;
}

void BillingAgent::Stop() {
  SetListenersReady(false);
  StopMetricsCollector();
  StopVoidedPurchasesPollers();
  StopRevocationFeed();
  const TimerId rotation_timer = the_last1min_refresh_timer_id.exchange(Timer::kInvalidTimerId);
  if (rotation_timer != Timer::kInvalidTimerId) Timer::Cancel(rotation_timer);

  // --- Stop: drain ---
  // The listeners close now and connections take no new request; requests
  // in flight get the grace period, with the database still up, to be
  // recorded and answered. Those still waiting then are answered 2003.
  if (the_tcp_server) the_tcp_server->Drain();
  if (the_http_server) the_http_server->Drain();
  const auto grace = std::chrono::seconds(std::max(0, FLAGS_shutdown_grace_period_s));
  if (const size_t in_flight = RequestsInFlight(); in_flight > 0) {
    LOG(INFO) << "BillingAgent::Stop: waiting up to " << grace.count() << " s for "
              << in_flight << " requests in flight";
  }
  if (!WaitForRequestsInFlight(grace)) {
    LOG(WARNING) << "BillingAgent::Stop: " << AnswerRequestsInFlight()
                 << " requests still waiting at the end of the grace period answered 2003";
  }
  // Connections close once their answers are written; one whose peer does
  // not read them is closed after a while.
  const auto flush_deadline = std::chrono::steady_clock::now() + kAnswerFlushTime;
  while ((the_tcp_server && the_tcp_server->ConnectionCount() > 0) ||
         (the_http_server && the_http_server->ConnectionCount() > 0)) {
    if (std::chrono::steady_clock::now() >= flush_deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  if (the_tcp_server) {
    the_tcp_server->Stop();
    the_tcp_server.reset();
  }
  if (the_http_server) {
    the_http_server->Stop();
    the_http_server.reset();
  }
  // --- Stop: receipt database ---
  StopReceiptDatabase();
  // --- Stop: store adapters ---
  // A flow answered 2003 may still be in a back-off and ask a token cache
  // again while the io group runs: the caches are emptied (and their refresh
  // timers, which would go on starting token requests, cancelled) only once
  // the host has stopped the group, at exit.
  static std::once_flag adapters_shutdown;
  std::call_once(adapters_shutdown, [] {
    std::atexit([] {
      GooglePlayAdapter::Shutdown();
      OneStoreAdapter::Shutdown();
    });
  });
}

bool BillingAgent::IsRunning() { return the_io_service != nullptr; }

uint16_t BillingAgent::TcpPort() { return the_tcp_server ? the_tcp_server->port() : 0; }

}  // namespace tvx
