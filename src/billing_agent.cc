// BillingAgent lifecycle: Start and Stop.
#include "src/billing_agent.h"

#include <glog/logging.h>

#include "src/billing_agent_http.h"
#include "src/billing_agent_state.h"
#include "src/billing_statistics.h"
#include "src/google_play_adapter.h"
#include "src/one_store_adapter.h"

namespace tvx {

std::shared_ptr<IoContext> the_io_service;
std::string the_io_group_name;
bool the_bypass_mode = false;
std::shared_ptr<TcpServer> the_tcp_server;
std::shared_ptr<HttpServer> the_http_server;
std::atomic<TimerId> the_last1min_refresh_timer_id{Timer::kInvalidTimerId};

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

  // --- TCP server ---
  if (tcp_port != 0) {
    the_tcp_server = TcpServer::Create(io_group_name, TcpSSLOption::kNullPtr,
                                       &BillingAgent::CreateTcpTransport);
    if (!the_tcp_server || !the_tcp_server->Start(tcp_port)) {
      LOG(FATAL) << "failed to start tcp server";
    }
  }

  // --- HTTP server ---
  if (http_port != 0) {
    the_http_server = HttpServer::Create(io_group_name);
    if (!the_http_server) LOG(FATAL) << "failed to start http server";
    the_http_server->RegisterHandler(kHttpAuthenticationPath, &OnHttpAuthentication);
    the_http_server->RegisterHandler(kHttpGooglePlayValidationPath, &OnHttpGooglePlayValidation);
    the_http_server->RegisterHandler(kHttpAppleAppStoreValidationPath,
                                     &OnHttpAppleAppStoreValidation);
    the_http_server->RegisterHandler(kHttpTStoreValidationPath, &OnHttpTStoreValidation);
    the_http_server->RegisterHandler(kHttpOneStoreValidationPath, &OnHttpOneStoreValidation);
    if (!the_http_server->Start(http_port)) LOG(FATAL) << "failed to start http server";
  }

  // --- statistics counters and rotation timer ---
  StartStatistics();

  return true;
}

void BillingAgent::Stop() {
  StopMetricsCollector();
  const TimerId rotation_timer = the_last1min_refresh_timer_id.exchange(Timer::kInvalidTimerId);
  if (rotation_timer != Timer::kInvalidTimerId) Timer::Cancel(rotation_timer);
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
  GooglePlayAdapter::Shutdown();
  // OneStore's refresh timers, too, would otherwise go on starting token
  // requests while the process shuts down.
  OneStoreAdapter::Shutdown();
}

bool BillingAgent::IsRunning() { return the_io_service != nullptr; }

uint16_t BillingAgent::TcpPort() { return the_tcp_server ? the_tcp_server->port() : 0; }

}  // namespace tvx
