// Client sessions: one per id, their log text, and the HTTP sessions' idle
// and count bounds.
#include "src/session.h"

#include <sstream>
#include <thread>

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include "framework/clock.h"

DECLARE_int32(http_session_idle_timeout_s);
DECLARE_int32(http_session_limit);

namespace tvx {
namespace {

TEST(SessionRegistryTest, SameIdGivesTheSameSessionEvenWhenCreatedConcurrently) {
  const Uuid id = RandomGenerator::GenerateUuid();
  std::vector<std::shared_ptr<ClientSession>> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&] { s = GetOrCreateClientSession(id); });
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, seen.front());
  ASSERT_NE(seen.front(), nullptr);
  EXPECT_EQ(seen.front()->state(), ClientSession::kCreated);
  EXPECT_TRUE(RemoveClientSession(id));
  EXPECT_FALSE(RemoveClientSession(id));
  EXPECT_EQ(FindClientSession(id), nullptr);
}

TEST(SessionTextTest, NamesStateAndIdsWithClientTextsEscaped) {
  ClientSession session(util::FromString("0123abcd-0000-4000-8000-00000000beef"));
  session.set_state(ClientSession::kAuthenticated);
  // A client id holding a line end cannot start a forged log line.
  session.set_client_id("game-1\nE1207 00:00:00 forged");
  session.set_gp_token_key({"gp@example.com", "digest"});
  session.set_os_token_key({"os-1\x1b[2J", "digest"});
  std::ostringstream out;
  out << session;
  EXPECT_EQ(out.str(),
            "0123abcd-0000-4000-8000-00000000beef(state: kAuthenticated, "
            "client_id: game-1\\nE1207 00:00:00 forged, gp_client_id: gp@example.com, "
            "os_client_id: os-1\\x1b[2J)");
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { SetHttpSessionClockForTesting([this] { return now_; }); }
  void TearDown() override {
    now_ += int64_t{1} << 50;
    FindHttpSession(util::kNilUuid);  // forgets this test's sessions
    SetHttpSessionClockForTesting(&MonotonicClock::Now);
  }
  std::shared_ptr<ClientSession> Add() {
    auto session = std::make_shared<ClientSession>(RandomGenerator::GenerateUuid());
    AddHttpSession(session);
    return session;
  }
  static constexpr int64_t kSecond = 1000 * 1000;
  int64_t now_ = int64_t{1} << 50;  // sessions other tests left behind are idle by now
  gflags::FlagSaver flags_;
};

TEST_F(HttpSessionTest, IdleOrLeastRecentlyUsedSessionsAreForgottenAndUseKeepsThemAlive) {
  FLAGS_http_session_idle_timeout_s = 60;
  auto used = Add(), idle = Add();
  now_ += 59 * kSecond;
  EXPECT_EQ(FindHttpSession(used->id()), used);
  now_ += 2 * kSecond;  // 61 s after `idle` was made, 2 s after `used` was used
  EXPECT_EQ(FindHttpSession(idle->id()), nullptr);
  EXPECT_EQ(FindHttpSession(used->id()), used);
  EXPECT_EQ(HttpSessionCount(), 1u);
  now_ += 60 * kSecond;
  EXPECT_EQ(FindHttpSession(used->id()), nullptr);
  EXPECT_EQ(HttpSessionCount(), 0u);

  // Past the limit the least recently used is forgotten.
  FLAGS_http_session_limit = 3;
  std::vector<std::shared_ptr<ClientSession>> sessions;
  for (int i = 0; i < 3; ++i, now_ += kSecond) sessions.push_back(Add());
  EXPECT_EQ(FindHttpSession(sessions[0]->id()), sessions[0]);  // now the most recent
  auto fourth = Add();
  EXPECT_EQ(FindHttpSession(sessions[1]->id()), nullptr);
  for (const auto& kept : {sessions[0], sessions[2], fourth}) {
    EXPECT_EQ(FindHttpSession(kept->id()), kept);
  }
  for (int i = 0; i < 100; ++i) Add();
  EXPECT_EQ(HttpSessionCount(), 3u);
}

}  // namespace
}  // namespace tvx
