// BillingAgent lifecycle: Start and Stop.
#include "src/billing_agent.h"

#include <glog/logging.h>

#include "src/billing_agent_state.h"

namespace tvx {

std::shared_ptr<IoContext> the_io_service;
std::string the_io_group_name;
bool the_bypass_mode = false;
std::shared_ptr<TcpServer> the_tcp_server;
std::shared_ptr<HttpServer> the_http_server;
TimerId the_last1min_refresh_timer_id = Timer::kInvalidTimerId;

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
  // The receipt database is not part of this build yet; its settings are
  // accepted so that the command line stays the same when it lands.
  (void)db_address;
  (void)db_user;
  (void)db_password;
  (void)db_name;
  (void)connection_count;
  (void)character_set;

  // --- store adapters ---

  // --- TCP server ---
  if (tcp_port != 0) {
    the_tcp_server = TcpServer::Create(io_group_name, TcpSSLOption::kNullPtr,
                                       &BillingAgent::CreateTcpTransport);
    if (!the_tcp_server || !the_tcp_server->Start(tcp_port)) {
      LOG(FATAL) << "failed to start tcp server";
    }
  }

  // --- HTTP server ---
  // The HTTP front end is not part of this build yet.
  (void)http_port;

  // --- statistics counters and rotation timer ---

  return true;
}

void BillingAgent::Stop() {
  if (the_last1min_refresh_timer_id != Timer::kInvalidTimerId) {
    Timer::Cancel(the_last1min_refresh_timer_id);
    the_last1min_refresh_timer_id = Timer::kInvalidTimerId;
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
  // --- Stop: store adapters ---
}

bool BillingAgent::IsRunning() { return the_io_service != nullptr; }

uint16_t BillingAgent::TcpPort() { return the_tcp_server ? the_tcp_server->port() : 0; }

}  // namespace tvx
