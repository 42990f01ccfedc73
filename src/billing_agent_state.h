// The agent's module-level objects, shared by the files that implement
// BillingAgent. Written only by Start and Stop; read without a lock by the
// handlers, which run only while the agent is up.
#ifndef SRC_BILLING_AGENT_STATE_H_
#define SRC_BILLING_AGENT_STATE_H_

#include <memory>
#include <string>

#include "framework/http_server.h"
#include "framework/io_service.h"
#include "framework/tcp.h"
#include "framework/timer.h"

namespace tvx {

extern std::shared_ptr<IoContext> the_io_service;
extern std::string the_io_group_name;
extern bool the_bypass_mode;
extern std::shared_ptr<TcpServer> the_tcp_server;
extern std::shared_ptr<HttpServer> the_http_server;
extern TimerId the_last1min_refresh_timer_id;

}  // namespace tvx

#endif  // SRC_BILLING_AGENT_STATE_H_
