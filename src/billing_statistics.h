// Profiling statistics: how many validations ended how, how long they and
// their store round trips took, and how long receipt inserts took, for all
// time and for the last minute. Published as the counters
// "biller/validation_profiling" and "biller/database_profiling".
//
// Times are MonotonicClock microseconds, accumulated as doubles with a
// one-pass mean and variance; recording is constant time and allocates
// nothing. Time statistics roll their one-minute window lazily, when a
// sample arrives more than 60 s after the window began; outcome counters are
// rolled by RotateLastMinuteStatistics, once a minute while its timer runs.
#ifndef SRC_BILLING_STATISTICS_H_
#define SRC_BILLING_STATISTICS_H_

#include <cstdint>
#include <mutex>

#include <string>

#include "framework/biller.pb.h"
#include "framework/clock.h"
#include "framework/json.h"
#include "framework/timer.h"

namespace tvx {

inline constexpr int64_t kStatisticsWindowMicros = 60000000;

// Running count, mean, sum of squared deviations from the mean and maximum
// of a series of samples.
struct TimeBlock {
  uint64_t count = 0;
  double mean = 0;
  double m2 = 0;
  double max = 0;

  void Add(double sample);
  // Sample standard deviation; 0 below two samples.
  double Deviation() const;
};

// Not thread-safe; its owner locks.
class TimeStatistics {
 public:
  explicit TimeStatistics(int64_t window_start) : window_start_(window_start) {}

  // Adds a sample (microseconds), first rolling the window when `now` is
  // more than a minute past its start.
  void Add(double sample, int64_t now);

  const TimeBlock& all_time() const { return all_time_; }
  const TimeBlock& last_minute() const { return last_minute_; }
  const TimeBlock& current_minute() const { return current_minute_; }

 private:
  TimeBlock all_time_;
  TimeBlock last_minute_;
  TimeBlock current_minute_;
  int64_t window_start_;
};

struct OutcomeCounter {
  uint64_t all_time = 0;
  uint64_t last_minute = 0;
  uint64_t current_minute = 0;

  void Increment() {
    ++all_time;
    ++current_minute;
  }
  void Rotate() {
    last_minute = current_minute;
    current_minute = 0;
  }
};

// The statistics of one publication key. Thread-safe: every operation holds
// mutex_, so recordings from different threads never interleave.
class ValidationStatistics {
 public:
  explicit ValidationStatistics(int64_t now = MonotonicClock::Now());

  // One finished validation with its result code (see billing_error.h).
  // Unknown codes are timed and counted as executions only, and logged.
  void RecordValidation(int32_t code, int64_t start_time, int64_t now);
  // One store round trip that began at `send_time`.
  void RecordCommunication(int64_t send_time, int64_t now);
  // Moves every outcome counter's current minute into its last minute.
  void RotateOutcomeCounters();

  // {"all_time": {...}, "last1min": {...}}.
  Json ToJson() const;

 private:
  mutable std::mutex mutex_;
  TimeStatistics execution_;      // GUARDED_BY(mutex_)
  TimeStatistics communication_;  // GUARDED_BY(mutex_)
  OutcomeCounter executions_;     // GUARDED_BY(mutex_), and the five below
  OutcomeCounter successes_;
  OutcomeCounter already_provisioned_;
  OutcomeCounter database_errors_;
  OutcomeCounter wrong_receipts_;
  OutcomeCounter cancelled_receipts_;
};

// Execution times of receipt insert statements. Thread-safe (mutex_), recorded
// on the database client's threads.
class DatabaseStatistics {
 public:
  explicit DatabaseStatistics(int64_t now = MonotonicClock::Now()) : time_(now) {}

  void Record(int64_t start_time, int64_t now);
  // Sets "all_time" and "last1min" of `out`.
  void Publish(Json* out) const;

 private:
  mutable std::mutex mutex_;
  TimeStatistics time_;  // GUARDED_BY(mutex_)
};

// Microseconds as published seconds: rounded to whole microseconds, half up.
double ToPublishedSeconds(double micros);

// The six publication objects; every recording goes to "total" and then to
// its store's object (the PlayStation store's is the_p4store_statistics).
extern ValidationStatistics the_total_statistics;
extern ValidationStatistics the_google_play_statistics;
extern ValidationStatistics the_apple_statistics;
extern ValidationStatistics the_tstore_statistics;
extern ValidationStatistics the_p4store_statistics;
extern ValidationStatistics the_one_store_statistics;
extern DatabaseStatistics the_database_statistics;

// Record into `stats` at the current monotonic time. Any thread.
void RecordValidation(ValidationStatistics& stats, int32_t code, int64_t start_time);
void RecordCommunication(ValidationStatistics& stats, int64_t send_time);
// One insert statement issued at `start_time`. Any thread.
void RecordDatabaseTime(int64_t start_time);
// The same for the insert `statement` (a "CALL sp_insert_receipt_..." text),
// which also counts in the store's Prometheus series and leaves the database
// queue gauge.
void RecordDatabaseTime(int64_t start_time, const std::string& statement);
// An insert statement handed to the database (the queue gauge).
void RecordDatabaseStatementIssued();

class Request;
// Prometheus counts of the requests: a validation taken by the validation
// dispatch (it is in flight until answered; the dispatch then sets the
// request's service_provider), and every answer that leaves through
// SendResponse.
void RecordValidationDispatched(Request& request);
void RecordAnswer(const Request& request, const Biller::Response& response);

// Counter providers. A null `out` is fatal; both answer 200.
// "total", "google_play", "apple", "tstore", "p4store", "one_store".
int ProvideValidationProfiling(Json* out);
// The receipt database's statistics; nothing when there is no database.
int ProvideDatabaseProfiling(Json* out);

// The one-minute timer handler: rotates the outcome counters of the six
// objects and arms the timer again, unless the agent stopped it meanwhile.
// Runs on the io group "default".
void RotateLastMinuteStatistics(TimerId id, const WallClock::Value& expiry);

// Stops refreshing the session and connection gauges from the agent's
// objects; after it returns they are not read any more. Called first by Stop.
void StopMetricsCollector();

}  // namespace tvx

#endif  // SRC_BILLING_STATISTICS_H_
