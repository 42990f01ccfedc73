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
    dir_ = std::filesystem::temp_directory_path() /
           ("biller-activity-" + std::to_string(::getpid()));
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

  std::filesystem::path dir_;
};

TEST_F(ActivityLogTest, RecordsFollowTheSchemaAndTheFileAndConcurrentWritersNeverInterleave) {
  EXPECT_FALSE(LogActivity("Purchase", {"too", "few"}));
  EXPECT_FALSE(LogActivity("Purchase", {"a", "b", "c", "d", "1x", "2", "UTC", "3"}));
  EXPECT_FALSE(LogActivity("NoSuchLog", {}));
  LogPurchase("game-1", "player \"7\"", "guest", "gem_100", 3, -5, "UTC", 1760000000);
  EXPECT_EQ(Lines(), std::vector<std::string>{
            R"({"biller_client":"game-1","local_account":"player \"7\"",)"
            R"("account_provider":"guest","product_id":"gem_100","quantity":3,)"
            R"("client_timestamp":-5,"client_timezone":"UTC","server_timestamp":1760000000})"});
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
        LogPurchase("client-" + std::to_string(t), std::string(500, 'x'), "p", "prod", i, i,
                    "UTC", i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  lines = Lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const auto& line : lines) {
    Json record;
    ASSERT_TRUE(record.FromString(line)) << line.substr(0, 80);
    EXPECT_EQ(record.Size(), 8u);
  }
}

}  // namespace
}  // namespace tvx
