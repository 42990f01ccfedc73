// Liveness and readiness of the process, answered by the api service's
// /healthz and /readyz.
//
// Ready means: the host said it serves (its listeners are open), no shutdown
// has begun, and the database answered the probe's last ping at most
// kDatabasePingMaxAge ago. The probe pings over a connection of its own, once
// a second, on a thread of its own.
#ifndef FRAMEWORK_HEALTH_H_
#define FRAMEWORK_HEALTH_H_

#include <chrono>
#include <string>

namespace tvx::health {

inline constexpr std::chrono::seconds kDatabasePingMaxAge{5};

// The listeners are open (true) or closed (false).
void SetServing(bool serving);
// From now on the process is not ready, for good.
void BeginShutdown();

// Starts pinging the database (connecting first, and again whenever the
// connection is lost). Once per process; the probe counts as answered at
// its start.
void StartDatabaseProbe(const std::string& address, const std::string& user,
                        const std::string& password, const std::string& database,
                        const std::string& character_set);
// Stops the pinging thread and closes its connection. Safe when not started.
void StopDatabaseProbe();

// Empty when ready; otherwise why not.
std::string NotReadyReason();

}  // namespace tvx::health

#endif  // FRAMEWORK_HEALTH_H_
