#include "framework/activity_log.h"

#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/json.h"
#include "src/purchase_log.h"

namespace tvx {
namespace {

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove_all(dir_);
    SetActivityLogDirForTesting((dir_ / "nested").string());
  }
  void TearDown() override {
    SetActivityLogDirForTesting("");
    std::filesystem::remove_all(dir_);
  }

  std::vector<std::string> Lines() {
    std::ifstream in(dir_ / "nested" / "Purchase.jsonl");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  const std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                                     ("biller-activity-" + std::to_string(::getpid()));
};

// A purchase's exact record is checked end to end, with the store validations.
TEST_F(ActivityLogTest, RecordsFollowTheSchemaAndTheFileAndConcurrentWritersNeverInterleave) {
  EXPECT_FALSE(LogActivity("Purchase", {"too", "few"}));
  EXPECT_FALSE(LogActivity("Purchase", {"a", "b", "c", "d", "1x", "2", "UTC", "3"}));
  EXPECT_FALSE(LogActivity("NoSuchLog", {}));
  LogPurchase("game-1", "p", "guest", "gem", 1, 0, "UTC", 1);
  std::filesystem::remove_all(dir_);
  LogPurchase("game-1", "p", "guest", "gem", 2, 0, "UTC", 2);
  ASSERT_EQ(Lines().size(), 1u);
  std::filesystem::rename(dir_ / "nested" / "Purchase.jsonl", dir_ / "nested" / "rotated");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  LogPurchase("game-1", "p", "guest", "gem", 3, 0, "UTC", 3);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(R"("quantity":3)"), std::string::npos);

  std::filesystem::remove_all(dir_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        LogPurchase("client-" + std::to_string(t), std::string(500, '"'), "p", "prod", i, -i,
                    "UTC", i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  lines = Lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& line : lines) EXPECT_TRUE(Json().FromString(line)) << line.substr(0, 80);
}

}  // namespace
}  // namespace tvx
