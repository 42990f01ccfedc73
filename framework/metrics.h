// Prometheus metrics of the biller, served as text by the api service's
// GET /metrics. Every function here is thread-safe and cheap enough for the
// request path: the series of the known stores and result codes are looked
// up in fixed tables, not by label maps.
//
// Stores are named by their service-provider codes (framework/billing_store.h);
// 0 and any other code are the store "unknown".
#ifndef FRAMEWORK_METRICS_H_
#define FRAMEWORK_METRICS_H_

#include <cstdint>
#include <functional>
#include <string>

namespace tvx::metrics {

inline constexpr char kContentType[] = "text/plain; version=0.0.4";

// "google_play", "apple_app_store", "tstore", "one_store", "playstation4"
// or "unknown".
const char* StoreLabel(int service_provider);

// One answered validation request: biller_validations_total{store,result}
// and biller_validation_duration_seconds{store}.
void CountValidation(int service_provider, int result, double seconds);
// One answered authentication request: biller_authentications_total{result}.
void CountAuthentication(int result);
// One store round trip: biller_store_request_duration_seconds{store}.
void ObserveStoreRequest(int service_provider, double seconds);
// One store request that failed (also when it is retried):
// biller_store_request_failures_total{store}.
void CountStoreRequestFailure(int service_provider);
// One revocation recorded for the first time: biller_revocations_total{store}.
void CountRevocation(int service_provider);
// One receipt insert statement: biller_db_insert_duration_seconds{store}.
void ObserveDatabaseInsert(int service_provider, double seconds);

// Gauges moved by events.
void AddInflightValidations(int64_t delta);  // biller_inflight_validations
void AddDatabaseQueue(int64_t delta);        // biller_db_queue_length

// Gauges read when scraped: biller_sessions{transport}, biller_connections{listener}.
void SetSessions(int64_t tcp, int64_t http);
void SetConnections(int64_t tcp, int64_t http);

// A function run at the start of every exposition to refresh the gauges that
// are read rather than counted. An empty function removes it; SetCollector
// returns only when no call of the previous collector is still running, so
// that what the collector reads may be let go right after.
void SetCollector(std::function<void()> collector);

// The whole exposition in the text format (kContentType).
std::string Exposition();

}  // namespace tvx::metrics

#endif  // FRAMEWORK_METRICS_H_
