#include "src/billing_statistics.h"

#include <cmath>

#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/counters.h"
#include "framework/framework_flags.h"
#include "framework/metrics.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/database.h"
#include "src/session.h"

namespace tvx {

ValidationStatistics the_total_statistics;
ValidationStatistics the_google_play_statistics;
ValidationStatistics the_apple_statistics;
ValidationStatistics the_tstore_statistics;
ValidationStatistics the_p4store_statistics;
ValidationStatistics the_one_store_statistics;
DatabaseStatistics the_database_statistics;

void TimeBlock::Add(double sample) {
  if (++count == 0) {
    // Wrapped around: start over rather than divide by zero.
    count = 1;
    mean = 0;
    m2 = 0;
  }
  const double delta = sample - mean;
  mean += delta / static_cast<double>(count);
  m2 += (sample - mean) * delta;
  if (sample > max) max = sample;
}

double TimeBlock::Deviation() const {
  if (count <= 1) return 0;
  return std::sqrt(m2 / static_cast<double>(count - 1));
}

void TimeStatistics::Add(double sample, int64_t now) {
  if (now - window_start_ > kStatisticsWindowMicros) {
    last_minute_ = current_minute_;
    current_minute_ = TimeBlock();
    window_start_ = now;
  }
  all_time_.Add(sample);
  current_minute_.Add(sample);
}

double ToPublishedSeconds(double micros) { return std::floor(micros + 0.5) / 1e6; }

namespace {

void SetTimes(Json* out, const char* prefix, const TimeBlock& block) {
  const std::string name(prefix);
  out->SetAttribute(name + "_mean_in_sec", ToPublishedSeconds(block.mean));
  out->SetAttribute(name + "_stdev_in_sec", ToPublishedSeconds(block.Deviation()));
  out->SetAttribute(name + "_max_in_sec", ToPublishedSeconds(block.max));
}

Json Count(uint64_t value) { return Json(static_cast<int64_t>(value)); }

// The store of a publication object; 0 for "total", which the Prometheus
// series leave out (they carry the store as a label instead).
int ServiceProviderOf(const ValidationStatistics& stats) {
  if (&stats == &the_google_play_statistics) return kBillingServiceProviderGooglePlay;
  if (&stats == &the_apple_statistics) return kBillingServiceProviderAppleAppStore;
  if (&stats == &the_tstore_statistics) return kBillingServiceProviderTStore;
  if (&stats == &the_p4store_statistics) return kBillingServiceProviderPlayStation4;
  if (&stats == &the_one_store_statistics) return kBillingServiceProviderOneStore;
  return kBillingServiceProviderNone;
}

// The store of an insert statement, by its procedure's name.
int ServiceProviderOfStatement(const std::string& statement) {
  static const std::pair<const char*, int> kProcedures[] = {
      {"CALL sp_insert_receipt_google_play", kBillingServiceProviderGooglePlay},
      {"CALL sp_insert_receipt_apple_appstore", kBillingServiceProviderAppleAppStore},
      {"CALL sp_insert_receipt_tstore", kBillingServiceProviderTStore},
      {"CALL sp_insert_receipt_p4store", kBillingServiceProviderPlayStation4},
      {"CALL sp_insert_receipt_one_store", kBillingServiceProviderOneStore},
  };
  for (const auto& [prefix, provider] : kProcedures) {
    if (statement.starts_with(prefix)) return provider;
  }
  return kBillingServiceProviderNone;
}

double Seconds(int64_t micros) { return static_cast<double>(micros) / 1e6; }

}  // namespace

ValidationStatistics::ValidationStatistics(int64_t now) : execution_(now), communication_(now) {}

void ValidationStatistics::RecordValidation(int32_t code, int64_t start_time, int64_t now) {
  bool known = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    execution_.Add(static_cast<double>(now - start_time), now);
    executions_.Increment();
    switch (code) {
      case kSuccess: successes_.Increment(); break;
      case kAlreadyProvisioned: already_provisioned_.Increment(); break;
      case kWrongReceipt: wrong_receipts_.Increment(); break;
      case kCancelledReceipt: cancelled_receipts_.Increment(); break;
      case kDatabaseError: database_errors_.Increment(); break;
      case kServiceProviderCommunicationError: break;
      default: known = false; break;
    }
  }
  if (!known) LOG(ERROR) << "Unknown biller error: " << code;
}

void ValidationStatistics::RecordCommunication(int64_t send_time, int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  communication_.Add(static_cast<double>(now - send_time), now);
}

void ValidationStatistics::RotateOutcomeCounters() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (OutcomeCounter* counter : {&executions_, &successes_, &already_provisioned_,
                                  &database_errors_, &wrong_receipts_, &cancelled_receipts_}) {
    counter->Rotate();
  }
}

Json ValidationStatistics::ToJson() const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto window = [this](bool all_time) {
    auto pick = [all_time](const OutcomeCounter& counter) {
      return Count(all_time ? counter.all_time : counter.last_minute);
    };
    Json out = Json::Object();
    out.SetAttribute("execution_count", pick(executions_));
    SetTimes(&out, "execution_time",
             all_time ? execution_.all_time() : execution_.last_minute());
    SetTimes(&out, "communication_time",
             all_time ? communication_.all_time() : communication_.last_minute());
    out.SetAttribute("success_count", pick(successes_));
    out.SetAttribute("already_provisioned_receipts_count", pick(already_provisioned_));
    out.SetAttribute("already_cancelled_receipts_count", pick(cancelled_receipts_));
    out.SetAttribute("database_error_count", pick(database_errors_));
    out.SetAttribute("wrong_receipts_count", pick(wrong_receipts_));
    return out;
  };
  Json out = Json::Object();
  out.SetAttribute("all_time", window(true));
  out.SetAttribute("last1min", window(false));
  return out;
}

void DatabaseStatistics::Record(int64_t start_time, int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  time_.Add(static_cast<double>(now - start_time), now);
}

void DatabaseStatistics::Publish(Json* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto window = [](const TimeBlock& block) {
    Json json = Json::Object();
    json.SetAttribute("execution_count", Count(block.count));
    SetTimes(&json, "execution_time", block);
    return json;
  };
  out->SetAttribute("all_time", window(time_.all_time()));
  out->SetAttribute("last1min", window(time_.last_minute()));
}

void RecordValidation(ValidationStatistics& stats, int32_t code, int64_t start_time) {
  stats.RecordValidation(code, start_time, MonotonicClock::Now());
  // The flows record a failed store request as 2003, retried or not.
  if (code == kServiceProviderCommunicationError && &stats != &the_total_statistics) {
    metrics::CountStoreRequestFailure(ServiceProviderOf(stats));
  }
}

void RecordCommunication(ValidationStatistics& stats, int64_t send_time) {
  const int64_t now = MonotonicClock::Now();
  stats.RecordCommunication(send_time, now);
  if (&stats != &the_total_statistics) {
    metrics::ObserveStoreRequest(ServiceProviderOf(stats), Seconds(now - send_time));
  }
}

void RecordDatabaseTime(int64_t start_time) {
  the_database_statistics.Record(start_time, MonotonicClock::Now());
}

void RecordDatabaseTime(int64_t start_time, const std::string& statement) {
  const int64_t now = MonotonicClock::Now();
  the_database_statistics.Record(start_time, now);
  metrics::ObserveDatabaseInsert(ServiceProviderOfStatement(statement), Seconds(now - start_time));
  metrics::AddDatabaseQueue(-1);
}

void RecordDatabaseStatementIssued() { metrics::AddDatabaseQueue(1); }

void RecordValidationDispatched(Request& request) {
  request.service_provider = kBillingServiceProviderNone;
  metrics::AddInflightValidations(1);
}

void RecordAnswer(const Request& request, const Biller::Response& response) {
  // A failure answers the request's own type; without a message it is the
  // refusal of an HTTP validation body that could not be read (an
  // unreadable authentication body gets an authentication answer).
  const bool validation =
      response.type() == Biller::kReceiptValidation ||
      (response.type() == Biller::kFailure &&
       (!request.request_message ||
        request.request_message->type() == Biller::kReceiptValidation));
  int result = 0;
  if (response.type() == Biller::kFailure) {
    result = static_cast<int>(response.fail().code());
  } else if (validation) {
    result = response.receipt_validation().result();
  } else {
    result = response.authentication().result();
  }
  if (!validation) {
    metrics::CountAuthentication(result);
    return;
  }
  const bool dispatched = request.service_provider >= 0;
  metrics::CountValidation(dispatched ? request.service_provider : kBillingServiceProviderNone,
                           result, Seconds(MonotonicClock::Now() - request.start_time));
  if (dispatched) metrics::AddInflightValidations(-1);
}

int ProvideValidationProfiling(Json* out) {
  if (!out) LOG(FATAL) << "Assert failed: out";
  out->SetAttribute("total", the_total_statistics.ToJson());
  out->SetAttribute("google_play", the_google_play_statistics.ToJson());
  out->SetAttribute("apple", the_apple_statistics.ToJson());
  out->SetAttribute("tstore", the_tstore_statistics.ToJson());
  out->SetAttribute("p4store", the_p4store_statistics.ToJson());
  out->SetAttribute("one_store", the_one_store_statistics.ToJson());
  return 200;
}

int ProvideDatabaseProfiling(Json* out) {
  if (!out) LOG(FATAL) << "Assert failed: out";
  // The api service may ask while Stop lets the database go.
  std::shared_ptr<BillerDatabase> database;
  {
    std::lock_guard<std::mutex> lock(the_db_connection_mutex);
    database = the_db_connection;
  }
  if (database) database->GetDatabaseProfiling(out);
  return 200;
}

// Gauges read from the agent's objects at each scrape. A TCP connection has
// its session from the moment it opens; HTTP sessions have a registry of
// their own.
void CollectGauges() {
  const int64_t tcp = static_cast<int64_t>(TcpSessionIdCount());
  metrics::SetSessions(tcp, static_cast<int64_t>(HttpSessionCount()));
  metrics::SetConnections(
      tcp, the_http_server ? static_cast<int64_t>(the_http_server->ConnectionCount()) : 0);
}

void StartStatistics() {
  if (!RegisterCallableCounter("biller", "database_profiling", "database profiling",
                               &ProvideDatabaseProfiling)) {
    LOG(WARNING) << "StartStatistics: counter already registered: biller/database_profiling";
  }
  if (!RegisterCallableCounter("biller", "validation_profiling", "validation profiling",
                               &ProvideValidationProfiling)) {
    LOG(WARNING) << "StartStatistics: counter already registered: biller/validation_profiling";
  }
  metrics::SetCollector(&CollectGauges);
  // Without the api service nobody reads the counters; the last-minute
  // outcome counts then stay 0.
  if (FLAGS_api_service_port != 0) {
    the_last1min_refresh_timer_id = Timer::ExpireAfter(
        boost::posix_time::seconds(60), &RotateLastMinuteStatistics, kTimerEventTag);
    if (the_last1min_refresh_timer_id == Timer::kInvalidTimerId) {
      LOG(FATAL) << "Assert failed: the_last1min_refresh_timer_id != Timer::kInvalidTimerId";
    }
  }
}

void StopMetricsCollector() { metrics::SetCollector(nullptr); }

void RotateLastMinuteStatistics(TimerId id, const WallClock::Value&) {
  for (ValidationStatistics* stats :
       {&the_total_statistics, &the_google_play_statistics, &the_apple_statistics,
        &the_tstore_statistics, &the_p4store_statistics, &the_one_store_statistics}) {
    stats->RotateOutcomeCounters();
  }
  // Stop forgets the timer's id; a rotation that was already running must
  // not bring the timer back.
  if (the_last1min_refresh_timer_id.load() != id) return;
  const TimerId next = Timer::ExpireAfter(boost::posix_time::seconds(60),
                                          &RotateLastMinuteStatistics, kTimerEventTag);
  if (next == Timer::kInvalidTimerId) {
    // Only when the io group is going away: the process is shutting down.
    LOG(ERROR) << "RotateLastMinuteStatistics: failed to arm the statistics timer";
  }
  TimerId expected = id;
  if (!the_last1min_refresh_timer_id.compare_exchange_strong(expected, next)) {
    // Stop ran meanwhile: the new timer must not outlive it.
    Timer::Cancel(next);
  }
}

}  // namespace tvx
