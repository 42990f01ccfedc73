#include "src/session.h"

#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/tcp.h"

namespace tvx {
namespace {

std::string TextOf(const ClientSession& session) {
  std::ostringstream out;
  out << session;
  return out.str();
}

TEST(SessionRegistryTest, SameIdGivesTheSameSessionWithoutResettingIt) {
  const Uuid id = RandomGenerator::GenerateUuid();
  auto first = GetOrCreateClientSession(id);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->state(), ClientSession::kCreated);
  first->set_state(ClientSession::kAuthenticated);
  first->set_client_id("client-a");

  auto second = GetOrCreateClientSession(id);
  EXPECT_EQ(second, first);
  EXPECT_EQ(second->state(), ClientSession::kAuthenticated);
  EXPECT_EQ(second->client_id(), "client-a");
  EXPECT_EQ(FindClientSession(id), first);

  EXPECT_TRUE(RemoveClientSession(id));
  EXPECT_FALSE(RemoveClientSession(id));
  EXPECT_EQ(FindClientSession(id), nullptr);
  // The object lives on for whoever still holds it.
  EXPECT_EQ(first->client_id(), "client-a");
}

TEST(SessionRegistryTest, ConcurrentCreationOfOneIdYieldsOneSession) {
  const Uuid id = RandomGenerator::GenerateUuid();
  std::vector<std::shared_ptr<ClientSession>> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = GetOrCreateClientSession(id); });
  }
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, seen.front());
  RemoveClientSession(id);
}

TEST(SessionTextTest, NamesStateAndIdsButNeverSecrets) {
  const Uuid id = util::FromString("0123abcd-0000-4000-8000-00000000beef");
  ClientSession session(id);
  EXPECT_EQ(TextOf(session),
            "0123abcd-0000-4000-8000-00000000beef(state: kUnknown, client_id: , gp_client_id: , "
            "os_client_id: )");
  session.set_state(ClientSession::kAuthenticated);
  session.set_client_id("game-1");
  session.set_gp_client_id("gp@example.com");
  session.set_os_client_id("os-1");
  session.set_gp_private_key("PRIVATE-KEY");
  session.set_gp_client_secret("GP-SECRET");
  session.set_gp_refresh_token("REFRESH");
  session.set_os_client_secret("OS-SECRET");
  const std::string text = TextOf(session);
  EXPECT_EQ(text,
            "0123abcd-0000-4000-8000-00000000beef(state: kAuthenticated, client_id: game-1, "
            "gp_client_id: gp@example.com, os_client_id: os-1)");
}

TEST(TcpSessionIdsTest, RecordsEachTransportOnce) {
  // Any shared object stands for a transport.
  struct FakeTransport : Transport {
    bool Send(const Buffer&, int) override { return true; }
    void Close() override {}
  };
  auto t1 = std::make_shared<FakeTransport>();
  auto t2 = std::make_shared<FakeTransport>();
  const Uuid id1 = RandomGenerator::GenerateUuid();
  const Uuid id2 = RandomGenerator::GenerateUuid();
  const size_t before = TcpSessionIdCount();

  EXPECT_TRUE(AddTcpSessionId(t1, id1));
  EXPECT_FALSE(AddTcpSessionId(t1, id2));  // the first id stays
  EXPECT_TRUE(AddTcpSessionId(t2, id2));
  EXPECT_EQ(GetTcpSessionId(t1), id1);
  EXPECT_EQ(GetTcpSessionId(t2), id2);
  EXPECT_EQ(TcpSessionIdCount(), before + 2);

  EXPECT_TRUE(RemoveTcpSessionId(t1));
  EXPECT_FALSE(RemoveTcpSessionId(t1));
  EXPECT_EQ(GetTcpSessionId(t1), util::kNilUuid);
  EXPECT_TRUE(RemoveTcpSessionId(t2));
  EXPECT_EQ(TcpSessionIdCount(), before);
}

}  // namespace
}  // namespace tvx
