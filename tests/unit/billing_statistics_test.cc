// The statistics' arithmetic and windows. Which outcome counter each
// validation moves is StoreFlowTest's.
#include "src/billing_statistics.h"

#include <cstdio>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "src/billing_error.h"

namespace tvx {
namespace {

constexpr int64_t kT0 = 1000000000;  // an arbitrary monotonic instant
constexpr int64_t kSecond = 1000000;

// "mean max stdev" of a window's published execution or communication seconds.
std::string Times(const Json& json, const char* window, const std::string& kind = "execution") {
  std::string out;
  for (const char* stat : {"mean", "max", "stdev"}) {
    char text[32];
    std::snprintf(text, sizeof text, " %.9g", json[window][kind + "_time_" + stat + "_in_sec"].GetDouble());
    out += text;
  }
  return out.substr(1);
}

TEST(StatisticsTest, PublishesSampleDeviationAndSecondsRoundedToWholeMicroseconds) {
  ValidationStatistics stats(kT0);
  stats.RecordValidation(kSuccess, kT0, kT0 + 3 * kSecond / 2);
  // A single sample has no deviation (not NaN from dividing by zero).
  EXPECT_EQ(Times(stats.ToJson(), "all_time"), "1.5 1.5 0");
  stats.RecordValidation(kSuccess, kT0, kT0 + 7 * kSecond / 2);
  stats.RecordCommunication(kT0, kT0 + 1);
  stats.RecordCommunication(kT0, kT0 + 2);
  // The sample deviation (n - 1), not the population one; 1.5 microseconds rounds half up.
  const Json json = stats.ToJson();
  EXPECT_EQ(Times(json, "all_time") + " / " + Times(json, "all_time", "communication"),
            "2.5 3.5 1.414214 / 2e-06 2e-06 1e-06");
  EXPECT_EQ(ToPublishedSeconds(0.49), 0);
}

TEST(StatisticsTest, TimeWindowRollsWhenASampleArrivesAfterAMinute) {
  ValidationStatistics stats(kT0);
  stats.RecordValidation(kSuccess, kT0, kT0 + 2 * kSecond);
  stats.RecordValidation(kSuccess, kT0 + 50 * kSecond, kT0 + 54 * kSecond);
  EXPECT_EQ(Times(stats.ToJson(), "last1min"), "0 0 0");
  // 60 s after the window began: the first window becomes the last minute.
  stats.RecordValidation(kSuccess, kT0 + 60 * kSecond, kT0 + 61 * kSecond);
  Json json = stats.ToJson();
  EXPECT_EQ(Times(json, "last1min") + " / " + Times(json, "all_time"), "3 4 1.414214 / 2.333333 4 1.527525");
  // The new window starts at that sample and holds only it; communications keep their own, empty.
  stats.RecordValidation(kSuccess, kT0 + 121 * kSecond, kT0 + 123 * kSecond);
  json = stats.ToJson();
  EXPECT_EQ(Times(json, "last1min") + " / " + Times(json, "last1min", "communication"), "1 1 0 / 0 0 0");
}

TEST(StatisticsTest, OutcomeCountersAreRotatedOnlyByTheTimer) {
  ValidationStatistics stats(kT0);
  for (int32_t code : {kSuccess, kSuccess, kWrongReceipt}) stats.RecordValidation(code, kT0, kT0);
  EXPECT_EQ(stats.ToJson()["last1min"]["execution_count"].GetInteger(), 0);
  stats.RotateOutcomeCounters();
  stats.RecordValidation(kSuccess, kT0, kT0 + 1);
  // Rotation leaves the time windows alone.
  const Json json = stats.ToJson();
  EXPECT_EQ(std::tuple(json["last1min"]["execution_count"].GetInteger(), json["last1min"]["success_count"].GetInteger(),
                       json["all_time"]["execution_count"].GetInteger(), Times(json, "last1min")),
            std::tuple(3, 2, 4, "0 0 0"));
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
  // A lost update shows as a count short of the total.
  const Json json = stats.ToJson();
  EXPECT_EQ(std::to_string(json["all_time"]["success_count"].GetInteger()) + " " + Times(json, "all_time") +
                " / " + Times(json, "all_time", "communication"),
            std::to_string(kThreads * kEach) + " 1e-05 1e-05 0 / 1e-05 1e-05 0");
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
  EXPECT_EQ(Times(json, "last1min"), "2 3 1.414214");
}

}  // namespace
}  // namespace tvx
