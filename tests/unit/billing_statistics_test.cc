// The statistics' arithmetic and windows. Which outcome counter each
// validation moves is StoreFlowTest's.
#include "src/billing_statistics.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/billing_error.h"

namespace tvx {
namespace {

constexpr int64_t kT0 = 1000000000;  // an arbitrary monotonic instant
constexpr int64_t kSecond = 1000000;

double Number(const Json& json, const char* window, const char* key) {
  return json[window][key].GetDouble();
}

TEST(StatisticsTest, PublishesSampleDeviationAndSecondsRoundedToWholeMicroseconds) {
  ValidationStatistics stats(kT0);
  stats.RecordValidation(kSuccess, kT0, kT0 + 3 * kSecond / 2);
  // A single sample has no deviation (not NaN from dividing by zero).
  EXPECT_EQ(Number(stats.ToJson(), "all_time", "execution_time_stdev_in_sec"), 0);
  stats.RecordValidation(kSuccess, kT0, kT0 + 7 * kSecond / 2);
  stats.RecordCommunication(kT0, kT0 + 1);
  stats.RecordCommunication(kT0, kT0 + 2);
  const Json json = stats.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_mean_in_sec"), 2.5);
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_max_in_sec"), 3.5);
  // The sample deviation (n - 1), not the population one (which is 1).
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_stdev_in_sec"), 1.414214);
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "communication_time_max_in_sec"), 0.000002);
  // 1.5 microseconds rounds half up.
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "communication_time_mean_in_sec"), 0.000002);
  EXPECT_EQ(ToPublishedSeconds(0.49), 0);
}

TEST(StatisticsTest, TimeWindowRollsWhenASampleArrivesAfterAMinute) {
  ValidationStatistics stats(kT0);
  stats.RecordValidation(kSuccess, kT0, kT0 + 2 * kSecond);
  stats.RecordValidation(kSuccess, kT0 + 50 * kSecond, kT0 + 54 * kSecond);
  EXPECT_EQ(Number(stats.ToJson(), "last1min", "execution_time_max_in_sec"), 0);

  // 60 s after the window began: the first window becomes the last minute.
  stats.RecordValidation(kSuccess, kT0 + 60 * kSecond, kT0 + 61 * kSecond);
  Json json = stats.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_mean_in_sec"), 3);
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_max_in_sec"), 4);
  EXPECT_DOUBLE_EQ(Number(json, "all_time", "execution_time_mean_in_sec"), 2.333333);

  // The new window starts at that sample and holds only it.
  stats.RecordValidation(kSuccess, kT0 + 121 * kSecond, kT0 + 123 * kSecond);
  json = stats.ToJson();
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_mean_in_sec"), 1);
  // Communication times keep a window of their own, still empty.
  EXPECT_EQ(Number(json, "last1min", "communication_time_max_in_sec"), 0);
}

TEST(StatisticsTest, OutcomeCountersAreRotatedOnlyByTheTimer) {
  ValidationStatistics stats(kT0);
  for (int32_t code : {kSuccess, kSuccess, kWrongReceipt}) stats.RecordValidation(code, kT0, kT0);
  EXPECT_EQ(stats.ToJson()["last1min"]["execution_count"].GetInteger(), 0);
  stats.RotateOutcomeCounters();
  stats.RecordValidation(kSuccess, kT0, kT0 + 1);
  Json json = stats.ToJson();
  EXPECT_EQ(json["last1min"]["execution_count"].GetInteger(), 3);
  EXPECT_EQ(json["last1min"]["success_count"].GetInteger(), 2);
  EXPECT_EQ(json["all_time"]["execution_count"].GetInteger(), 4);
  // Rotation leaves the time windows alone.
  EXPECT_EQ(Number(json, "last1min", "execution_time_max_in_sec"), 0);
  stats.RotateOutcomeCounters();
  EXPECT_EQ(stats.ToJson()["last1min"]["execution_count"].GetInteger(), 1);
}

TEST(StatisticsTest, ConcurrentRecordingsLoseNothing) {
  ValidationStatistics stats(kT0);
  constexpr int kThreads = 8, kEach = 20000;
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
  EXPECT_EQ(json["all_time"]["success_count"].GetInteger(), kThreads * kEach);
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
  EXPECT_EQ(json["all_time"]["execution_count"].GetInteger(), 3);
  EXPECT_EQ(json["last1min"]["execution_count"].GetInteger(), 2);
  EXPECT_DOUBLE_EQ(Number(json, "last1min", "execution_time_stdev_in_sec"), 1.414214);
}

}  // namespace
}  // namespace tvx
