// The api service: the host's own HTTP server (on --api_service_port) for
// operators and monitoring. Routes:
//   GET /v1/counters                   {"counters": [{"category", "name", "description"}...]}
//   GET /v1/counters/<category>/<name> the counter provider's Json, with its status;
//                                      404 for an unknown counter
//   GET /metrics                       Prometheus text exposition (framework/metrics.h)
//   GET /healthz                       200 {"status": "ok"} while the process runs
//   GET /readyz                        200 {"status": "ready"}, or 503 {"status":
//                                      "not ready", "reason": "..."} (framework/health.h)
// plus the routes a module adds with SetRoute.
// Other methods get 405, other paths 404; every answer but /metrics is JSON.
#ifndef FRAMEWORK_API_SERVICE_H_
#define FRAMEWORK_API_SERVICE_H_

#include <cstdint>
#include <string>

#include "framework/http_server.h"

namespace tvx {

class ApiService {
 public:
  // Serves on the io group at `bind_address`; port 0 picks a free port (see
  // port()). False when the io group does not run, the port cannot be bound,
  // or the service runs already.
  static bool Start(const std::string& io_group, uint16_t port,
                    const std::string& bind_address = "127.0.0.1");
  // Safe when not started.
  static void Stop();
  // Serves GET `path` (exactly) with `handler` from now on, whether the
  // service runs yet or not; an empty handler withdraws the route.
  // Thread-safe; the handler runs on the service's io group.
  static void SetRoute(const std::string& path, HttpServer::Handler handler);
  // The bound port; 0 when not running.
  static uint16_t port();
};

}  // namespace tvx

#endif  // FRAMEWORK_API_SERVICE_H_
