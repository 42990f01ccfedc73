#include "src/billing_statistics.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/billing_error.h"
#include "tests/support/log_capture.h"

namespace tvx {
namespace {

constexpr int64_t kT0 = 1000000000;  // an arbitrary monotonic instant
constexpr int64_t kSecond = 1000000;

double Number(const Json& json, const char* window, const char* key) {
  return json[window][key].GetDouble();
}
int64_t Integer(const Json& json, const char* window, const char* key) {
  return json[window][key].GetInteger();
}

TEST(StatisticsTest, PublishesSecondsRoundedToWholeMicroseconds) {
  ValidationStatistics one(kT0);
  one.RecordValidation(kSuccess, kT0, kT0 + 3 * kSecond / 2);
  Json json = one.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_mean_in_sec"), 1.5);
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_max_in_sec"), 1.5);
  // A single sample has no deviation (not NaN from dividing by zero).
  EXPECT_EQ(Number(json, "all_time", "execution_time_stdev_in_sec"), 0);

  ValidationStatistics two(kT0);
  two.RecordValidation(kSuccess, kT0, kT0 + kSecond);
  two.RecordValidation(kSuccess, kT0, kT0 + 3 * kSecond);
  json = two.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_mean_in_sec"), 2);
  // The sample deviation (n - 1), not the population one (which is 1).
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_stdev_in_sec"), 1.414214);

  ValidationStatistics tiny(kT0);
  tiny.RecordCommunication(kT0, kT0 + 1);
  tiny.RecordCommunication(kT0, kT0 + 2);
  json = tiny.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "communication_time_max_in_sec"), 0.000002);
  // 1.5 microseconds rounds half up.
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "communication_time_mean_in_sec"), 0.000002);
  EXPECT_EQ(ToPublishedSeconds(0.49), 0);
}

TEST(StatisticsTest, TimeWindowRollsWhenASampleArrivesAfterAMinute) {
  ValidationStatistics stats(kT0);
  stats.RecordValidation(kSuccess, kT0, kT0 + 2 * kSecond);
  // Within the minute: nothing has rolled yet.
  stats.RecordValidation(kSuccess, kT0 + 50 * kSecond, kT0 + 54 * kSecond);
  Json json = stats.ToJson();
  EXPECT_EQ(Number(json, "last1min", "execution_time_max_in_sec"), 0);

  // 61 s after the window began: the first window becomes the last minute.
  stats.RecordValidation(kSuccess, kT0 + 60 * kSecond, kT0 + 61 * kSecond);
  json = stats.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_mean_in_sec"), 3);
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_max_in_sec"), 4);
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_max_in_sec"), 4);
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_mean_in_sec"), 2.333333);

  // The new window starts at that sample and holds only it: another minute
  // later the last minute shows exactly that one sample.
  stats.RecordValidation(kSuccess, kT0 + 121 * kSecond, kT0 + 123 * kSecond);
  json = stats.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_mean_in_sec"), 1);
  EXPECT_EQ(Number(json, "last1min", "execution_time_stdev_in_sec"), 0);
  // Communication times keep a window of their own, still empty.
  EXPECT_EQ(Number(json, "last1min", "communication_time_max_in_sec"), 0);
}

TEST(StatisticsTest, OutcomesAreCountedByCodeAndRotatedOnlyByTheTimer) {
  ValidationStatistics stats(kT0);
  const int32_t codes[] = {kSuccess,         kSuccess,          kAlreadyProvisioned,
                           kWrongReceipt,    kCancelledReceipt, kDatabaseError,
                           kServiceProviderCommunicationError};
  for (int32_t code : codes) stats.RecordValidation(code, kT0, kT0 + 1);

  Json json = stats.ToJson();
  EXPECT_EQ(Integer(json, "all_time", "execution_count"), 7);
  EXPECT_EQ(Integer(json, "all_time", "success_count"), 2);
  EXPECT_EQ(Integer(json, "all_time", "already_provisioned_receipts_count"), 1);
  EXPECT_EQ(Integer(json, "all_time", "wrong_receipts_count"), 1);
  EXPECT_EQ(Integer(json, "all_time", "already_cancelled_receipts_count"), 1);
  EXPECT_EQ(Integer(json, "all_time", "database_error_count"), 1);
  EXPECT_EQ(Integer(json, "last1min", "execution_count"), 0);

  stats.RotateOutcomeCounters();
  stats.RecordValidation(kSuccess, kT0, kT0 + 1);
  json = stats.ToJson();
  EXPECT_EQ(Integer(json, "last1min", "execution_count"), 7);
  EXPECT_EQ(Integer(json, "last1min", "success_count"), 2);
  EXPECT_EQ(Integer(json, "all_time", "execution_count"), 8);
  // Rotation leaves the time windows alone.
  EXPECT_EQ(Number(json, "last1min", "execution_time_max_in_sec"), 0);

  stats.RotateOutcomeCounters();
  EXPECT_EQ(Integer(stats.ToJson(), "last1min", "execution_count"), 1);
}

TEST(StatisticsTest, UnknownCodeIsTimedAndCountedAsAnExecutionOnly) {
  testing::LogCapture log;
  ValidationStatistics stats(kT0);
  stats.RecordValidation(kProductInformationNotFound, kT0, kT0 + kSecond);
  const Json json = stats.ToJson();
  EXPECT_EQ(Integer(json, "all_time", "execution_count"), 1);
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_max_in_sec"), 1);
  for (const char* key : {"success_count", "already_provisioned_receipts_count",
                          "already_cancelled_receipts_count", "database_error_count",
                          "wrong_receipts_count"}) {
    EXPECT_EQ(Integer(json, "all_time", key), 0) << key;
  }
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "Unknown biller error: 1006"), 1);
  // A communication failure is a known outcome without a counter of its own.
  stats.RecordValidation(kServiceProviderCommunicationError, kT0, kT0);
  EXPECT_EQ(log.Count(google::GLOG_ERROR, "Unknown biller error"), 1);
}

TEST(StatisticsTest, ConcurrentRecordingsLoseNothing) {
  ValidationStatistics stats(kT0);
  constexpr int kThreads = 8;
  constexpr int kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&stats] {
      for (int i = 0; i < kEach; ++i) {
        stats.RecordValidation(kSuccess, kT0, kT0 + 10);
        stats.RecordCommunication(kT0, kT0 + 10);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const Json json = stats.ToJson();
  EXPECT_EQ(Integer(json, "all_time", "execution_count"), kThreads * kEach);
  EXPECT_EQ(Integer(json, "all_time", "success_count"), kThreads * kEach);
  // Equal samples: an interleaved update would show as a drift of the mean.
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_mean_in_sec"), 0.00001);
  EXPECT_EQ(Number(json, "all_time", "communication_time_stdev_in_sec"), 0);
}

TEST(StatisticsTest, DatabaseStatisticsPublishTheirBlockCounts) {
  DatabaseStatistics stats(kT0);
  stats.Record(kT0, kT0 + kSecond);
  stats.Record(kT0, kT0 + 3 * kSecond);
  stats.Record(kT0 + 61 * kSecond, kT0 + 62 * kSecond);
  Json json = Json::Object();
  stats.Publish(&json);
  EXPECT_EQ(Integer(json, "all_time", "execution_count"), 3);
  EXPECT_EQ(Integer(json, "last1min", "execution_count"), 2);
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_stdev_in_sec"), 1.414214);
}

}  // namespace
}  // namespace tvx
