#include "framework/metrics.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "framework/billing_store.h"
#include "framework/version.h"

namespace tvx::metrics {
namespace {

using prometheus::Counter;
using prometheus::Family;
using prometheus::Gauge;
using prometheus::Histogram;

// Label order of the store tables.
constexpr int kStoreCount = 6;
constexpr const char* kStoreLabels[kStoreCount] = {
    "google_play", "apple_app_store", "tstore", "one_store", "playstation4", "unknown"};

int StoreIndex(int service_provider) {
  switch (service_provider) {
    case kBillingServiceProviderGooglePlay: return 0;
    case kBillingServiceProviderAppleAppStore: return 1;
    case kBillingServiceProviderTStore: return 2;
    case kBillingServiceProviderOneStore: return 3;
    case kBillingServiceProviderPlayStation4: return 4;
    default: return 5;
  }
}

// The result codes the biller answers with: 0 to 6, 1000 to 1007, 2000 to
// 2004. Others (which it never sends) are looked up by label.
constexpr int kResultSlots = 20;
int ResultIndex(int result) {
  if (result >= 0 && result <= 6) return result;
  if (result >= 1000 && result <= 1007) return 7 + (result - 1000);
  if (result >= 2000 && result <= 2004) return 15 + (result - 2000);
  return -1;
}

// Bucket bounds in seconds. A validation may wait minutes on a store that
// cannot be reached; an insert normally takes milliseconds.
const Histogram::BucketBoundaries kValidationBuckets = {
    0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300, 600};
const Histogram::BucketBoundaries kStoreBuckets = {0.01, 0.025, 0.05, 0.1, 0.25, 0.5,
                                                   1,    2.5,   5,    10,  30,   60};
const Histogram::BucketBoundaries kDatabaseBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                      0.05,   0.1,   0.25,   0.5,   1,    5};

class Metrics {
 public:
  Metrics()
      : registry_(std::make_shared<prometheus::Registry>()),
        validations_(prometheus::BuildCounter()
                         .Name("biller_validations_total")
                         .Help("Answered receipt validations by store and result code")
                         .Register(*registry_)),
        authentications_(prometheus::BuildCounter()
                             .Name("biller_authentications_total")
                             .Help("Answered authentications by result code")
                             .Register(*registry_)),
        validation_duration_(prometheus::BuildHistogram()
                                 .Name("biller_validation_duration_seconds")
                                 .Help("From a validation's arrival to its answer")
                                 .Register(*registry_)),
        store_duration_(prometheus::BuildHistogram()
                            .Name("biller_store_request_duration_seconds")
                            .Help("Round trips of requests to the stores")
                            .Register(*registry_)),
        database_duration_(prometheus::BuildHistogram()
                               .Name("biller_db_insert_duration_seconds")
                               .Help("Receipt insert statements, from issue to completion")
                               .Register(*registry_)),
        store_failures_(prometheus::BuildCounter()
                            .Name("biller_store_request_failures_total")
                            .Help("Store requests that failed, retried or not")
                            .Register(*registry_)),
        revocations_(prometheus::BuildCounter()
                         .Name("biller_revocations_total")
                         .Help("Revocations (refunds, voids) recorded by store")
                         .Register(*registry_)),
        sessions_(prometheus::BuildGauge()
                      .Name("biller_sessions")
                      .Help("Client sessions the biller keeps")
                      .Register(*registry_)),
        connections_(prometheus::BuildGauge()
                         .Name("biller_connections")
                         .Help("Open client connections by listener")
                         .Register(*registry_)),
        inflight_(prometheus::BuildGauge()
                      .Name("biller_inflight_validations")
                      .Help("Validations received and not yet answered")
                      .Register(*registry_)
                      .Add({})),
        database_queue_(prometheus::BuildGauge()
                            .Name("biller_db_queue_length")
                            .Help("Receipt inserts waiting for or being run by the database")
                            .Register(*registry_)
                            .Add({})),
        tcp_sessions_(sessions_.Add({{"transport", "tcp"}})),
        http_sessions_(sessions_.Add({{"transport", "http"}})),
        tcp_connections_(connections_.Add({{"listener", "tcp"}})),
        http_connections_(connections_.Add({{"listener", "http"}})) {
    prometheus::BuildGauge()
        .Name("biller_build_info")
        .Help("The biller's version")
        .Register(*registry_)
        .Add({{"version", BillerVersion()}})
        .Set(1);
    for (int store = 0; store < kStoreCount; ++store) {
      const prometheus::Labels labels = {{"store", kStoreLabels[store]}};
      validation_histograms_[store] = &validation_duration_.Add(labels, kValidationBuckets);
      store_histograms_[store] = &store_duration_.Add(labels, kStoreBuckets);
      database_histograms_[store] = &database_duration_.Add(labels, kDatabaseBuckets);
      store_failure_counters_[store] = &store_failures_.Add(labels);
      revocation_counters_[store] = &revocations_.Add(labels);
    }
  }

  void CountValidation(int store, int result) {
    const int slot = ResultIndex(result);
    if (slot < 0) {
      validations_.Add({{"store", kStoreLabels[store]}, {"result", std::to_string(result)}})
          .Increment();
      return;
    }
    std::atomic<Counter*>& cached = validation_counters_[store][slot];
    Counter* counter = cached.load(std::memory_order_acquire);
    if (!counter) {
      // Family::Add hands back the same series for the same labels.
      counter = &validations_.Add(
          {{"store", kStoreLabels[store]}, {"result", std::to_string(result)}});
      cached.store(counter, std::memory_order_release);
    }
    counter->Increment();
  }

  void CountAuthentication(int result) {
    const int slot = ResultIndex(result);
    if (slot < 0) {
      authentications_.Add({{"result", std::to_string(result)}}).Increment();
      return;
    }
    Counter* counter = authentication_counters_[slot].load(std::memory_order_acquire);
    if (!counter) {
      counter = &authentications_.Add({{"result", std::to_string(result)}});
      authentication_counters_[slot].store(counter, std::memory_order_release);
    }
    counter->Increment();
  }

  std::shared_ptr<prometheus::Registry> registry_;
  Family<Counter>& validations_;
  Family<Counter>& authentications_;
  Family<Histogram>& validation_duration_;
  Family<Histogram>& store_duration_;
  Family<Histogram>& database_duration_;
  Family<Counter>& store_failures_;
  Family<Counter>& revocations_;
  Family<Gauge>& sessions_;
  Family<Gauge>& connections_;
  Gauge& inflight_;
  Gauge& database_queue_;
  Gauge& tcp_sessions_;
  Gauge& http_sessions_;
  Gauge& tcp_connections_;
  Gauge& http_connections_;
  std::array<Histogram*, kStoreCount> validation_histograms_{};
  std::array<Histogram*, kStoreCount> store_histograms_{};
  std::array<Histogram*, kStoreCount> database_histograms_{};
  std::array<Counter*, kStoreCount> store_failure_counters_{};
  std::array<Counter*, kStoreCount> revocation_counters_{};
  std::array<std::array<std::atomic<Counter*>, kResultSlots>, kStoreCount> validation_counters_{};
  std::array<std::atomic<Counter*>, kResultSlots> authentication_counters_{};
};

Metrics& TheMetrics() {
  static Metrics* metrics = new Metrics();  // never destroyed: used until exit
  return *metrics;
}

// The collector, and how many of its calls are running.
std::mutex collector_mutex;
std::condition_variable collector_idle;
std::shared_ptr<std::function<void()>> the_collector;  // GUARDED_BY(collector_mutex)
int running_collectors = 0;                              // GUARDED_BY(collector_mutex)

void RunCollector() {
  std::shared_ptr<std::function<void()>> collector;
  {
    std::lock_guard<std::mutex> lock(collector_mutex);
    if (!the_collector) return;
    collector = the_collector;
    ++running_collectors;
  }
  (*collector)();
  std::lock_guard<std::mutex> lock(collector_mutex);
  if (--running_collectors == 0) collector_idle.notify_all();
}

}  // namespace

const char* StoreLabel(int service_provider) { return kStoreLabels[StoreIndex(service_provider)]; }

void CountValidation(int service_provider, int result, double seconds) {
  const int store = StoreIndex(service_provider);
  TheMetrics().CountValidation(store, result);
  TheMetrics().validation_histograms_[store]->Observe(seconds);
}

void CountAuthentication(int result) { TheMetrics().CountAuthentication(result); }

void ObserveStoreRequest(int service_provider, double seconds) {
  TheMetrics().store_histograms_[StoreIndex(service_provider)]->Observe(seconds);
}

void CountStoreRequestFailure(int service_provider) {
  TheMetrics().store_failure_counters_[StoreIndex(service_provider)]->Increment();
}

void CountRevocation(int service_provider) {
  TheMetrics().revocation_counters_[StoreIndex(service_provider)]->Increment();
}

void ObserveDatabaseInsert(int service_provider, double seconds) {
  TheMetrics().database_histograms_[StoreIndex(service_provider)]->Observe(seconds);
}

void AddInflightValidations(int64_t delta) {
  TheMetrics().inflight_.Increment(static_cast<double>(delta));
}

void AddDatabaseQueue(int64_t delta) {
  TheMetrics().database_queue_.Increment(static_cast<double>(delta));
}

void SetSessions(int64_t tcp, int64_t http) {
  TheMetrics().tcp_sessions_.Set(static_cast<double>(tcp));
  TheMetrics().http_sessions_.Set(static_cast<double>(http));
}

void SetConnections(int64_t tcp, int64_t http) {
  TheMetrics().tcp_connections_.Set(static_cast<double>(tcp));
  TheMetrics().http_connections_.Set(static_cast<double>(http));
}

void SetCollector(std::function<void()> collector) {
  std::unique_lock<std::mutex> lock(collector_mutex);
  the_collector =
      collector ? std::make_shared<std::function<void()>>(std::move(collector)) : nullptr;
  collector_idle.wait(lock, [] { return running_collectors == 0; });
}

std::string Exposition() {
  RunCollector();
  return prometheus::TextSerializer().Serialize(TheMetrics().registry_->Collect());
}

}  // namespace tvx::metrics
