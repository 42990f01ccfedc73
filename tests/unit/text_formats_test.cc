// The wire and text formats (frames, JSON, UUIDs, log text, the schema
// script's placeholders) and the session registries.
#include <random>
#include <sstream>
#include <thread>

#include <gflags/gflags.h>
#include <gtest/gtest.h>

#include "framework/clock.h"
#include "framework/json.h"
#include "framework/tcp.h"
#include "framework/uuid.h"
#include "src/log_text.h"
#include "src/mysql_schema.h"
#include "src/session.h"

DECLARE_int32(http_session_idle_timeout_s);
DECLARE_int32(http_session_limit);

namespace tvx {
namespace {

TEST(FramingTest, DecodesBigEndianFramesAcrossArbitraryReadBoundariesUpToTheLimit) {
  EXPECT_EQ(framing::EncodeFrame(std::string(258, 'a')).substr(0, 5) + framing::EncodeFrame(""),
            std::string("\x00\x00\x01\x02" "a\0\0\0\0", 9));
  std::vector<std::string> bodies = {"", "a", std::string(1000, 'x'), "hello", std::string(70000, 'y')};
  std::string stream;
  for (const auto& b : bodies) stream += framing::EncodeFrame(b);
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    framing::FrameDecoder decoder(1 << 20);
    std::vector<std::string> out;
    for (size_t at = 0, n; at < stream.size(); at += n) {
      n = std::min<size_t>(stream.size() - at, 1 + random() % 300);
      decoder.Append(stream.data() + at, n);
      std::string body;
      while (decoder.Next(&body) == framing::FrameDecoder::Result::kFrame) out.push_back(body);
    }
    ASSERT_EQ(out, bodies) << "round " << round;
    EXPECT_EQ(decoder.buffered(), 0u);
  }
  // An oversized length is refused before its body arrives.
  framing::FrameDecoder decoder(16);
  std::string body;
  decoder.Append(framing::EncodeFrame(std::string(16, 'a')).data(), 20);
  EXPECT_EQ(decoder.Next(&body), framing::FrameDecoder::Result::kFrame);
  decoder.Append("\x00\x00\x00\x11", 4);
  EXPECT_EQ(decoder.Next(&body), framing::FrameDecoder::Result::kTooLarge);
}

TEST(JsonTest, KeepsMemberOrderReadsNeverThrowAndMalformedTextIsRefused) {
  Json json;
  ASSERT_TRUE(json.FromString(R"({"z": 1, "a": [true, null], "m": {"y": "v", "b": 2.5}})"));
  EXPECT_EQ(json.ToString(), R"({"z":1,"a":[true,null],"m":{"y":"v","b":2.5E0}})");
  json.SetString("c", "new");
  EXPECT_EQ(json.GetAttributeNames(), (std::vector<std::string>{"z", "a", "m", "c"}));

  ASSERT_TRUE(json.FromString(R"({"s": "text", "i": 7, "big": 18446744073709551615, "b": true})"));
  // Larger than a signed 64-bit integer: not an integer for the biller.
  std::ostringstream reads;
  reads << json.HasAttribute("s", Json::kString) << json.HasAttribute("s", Json::kInteger)
        << json.HasAttribute("i", Json::kInteger) << json.HasAttribute("big", Json::kInteger) << " "
        << json.GetInteger("big") << json.GetString("i") << json.GetInteger("s")
        << json.GetBool("missing") << json["missing"].IsNull() << json["s"][3].IsNull() << " "
        << json.Size() << Json("x").Size();
  EXPECT_EQ(reads.str(), "1010 00011 40");
  // Malformed text is refused with a message; a number beyond the range of a
  // double could not be written back.
  for (const char* text : {"", "{", "{'a': 1}", "[1,]", "nul", "{\"a\":1} trailing",
                           "{\"a\": [1, -1.5e400]}"}) {
    json = Json::Object();
    std::string error;
    EXPECT_FALSE(json.FromString(text, [&](const std::string& m) { error = m; })) << text;
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(json.IsNull());
  }
}

TEST(UuidTest, ParsesOnlyTheCanonicalForm) {
  Uuid uuid;
  EXPECT_TRUE(util::TryFromString("0123ABCD-0000-4000-8000-00000000beef", &uuid));
  EXPECT_EQ(util::ToString(uuid), "0123abcd-0000-4000-8000-00000000beef");
  for (const char* bad :
       {"", "not-a-uuid", "{0123abcd-0000-4000-8000-00000000beef}",
        "0123abcd000040008000000000000000beef", "0123abcd-0000-4000-8000-00000000beeg"}) {
    EXPECT_FALSE(util::TryFromString(bad, &uuid)) << bad;
    EXPECT_EQ(util::FromString(bad), util::kNilUuid);
  }
  EXPECT_EQ(util::FromBytes("short"), util::kNilUuid);
}

TEST(LogTextTest, EscapesAndCuts) {
  const std::tuple<std::string, size_t, std::string> cases[] = {
      {"", 1024, ""},
      {"plain text", 1024, "plain text"},
      {"a\nb\rc\td\\e", 1024, "a\\nb\\rc\\td\\\\e"},
      {std::string("\x1b[0m\0\x7f", 6), 1024, "\\x1b[0m\\x00\\x7f"},
      {"caf\xc3\xa9", 1024, "caf\xc3\xa9"},
      {"abcdef", 3, "abc...(6 bytes)"},
      {"ab\ncd", 3, "ab\\n...(5 bytes)"},
      {"abc", 0, "...(3 bytes)"},
  };
  for (const auto& [text, max_bytes, expected] : cases) {
    EXPECT_EQ(ToLogText(text, max_bytes), expected);
    std::ostringstream streamed;
    streamed << "[" << LogText(text, max_bytes) << "]";
    EXPECT_EQ(streamed.str(), "[" + expected + "]");
  }
}

TEST(JsonForLogTest, HidesCredentialsOnlyAndEscapesAccounts) {
  Json receipt;
  ASSERT_TRUE(receipt.FromString(
      R"({"product_id":"gem\n","refresh_token":"r","nested":{"secret":"kept"},"secret":7})"));
  EXPECT_EQ(JsonForLog(receipt),
            R"({"product_id":"gem\\n","refresh_token":"<redacted>","nested":{"secret":"kept"},)"
            R"("secret":"<redacted>"})");
  EXPECT_EQ(receipt.GetString("refresh_token"), "r");  // the receipt itself is untouched
  ASSERT_TRUE(receipt.FromString(R"({"product_id":"gem","n":1})"));
  EXPECT_EQ(JsonForLog(receipt, 10), R"({"product_...(26 bytes))");
  EXPECT_EQ(JsonForLog(Json("a\tb")), "\"a\\\\tb\"");
  EXPECT_EQ(AccountForLog(PlayerAccount("guest", "p\n1")), "guest:p\\n1");
}

TEST(SchemaScriptTest, TrimsAndReplacesEveryPlaceholder) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"\n\t \v\fA [CHARACTER_SET] B [CHARACTER_SET][CHARACTER_SET] \r\n\n", "utf8mb4",
       "A utf8mb4 B utf8mb4utf8mb4"},
      {"  a \n\n b  ", "x", "a \n\n b"},  // only the ends are trimmed
      {"[CHARACTER_SET]", "[CHARACTER_SET]x", "[CHARACTER_SET]x"},  // not searched again
      // "utf8" asks for the four-byte set; a set named exactly is kept.
      {"[CHARACTER_SET]", "utf8", "utf8mb4"},
      {"[CHARACTER_SET]", "UTF8", "utf8mb4"},
      {"[CHARACTER_SET]", "utf8mb3", "utf8mb3"},
  };
  for (const auto& [script, set, expected] : cases) {
    EXPECT_EQ(PrepareSchemaScript(script, set), expected) << script << " " << set;
  }
}


TEST(SessionRegistryTest, SameIdGivesTheSameSessionEvenWhenCreatedConcurrently) {
  const Uuid id = RandomGenerator::GenerateUuid();
  std::vector<std::shared_ptr<ClientSession>> seen(8);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&] { s = GetOrCreateClientSession(id); });
  for (auto& t : threads) t.join();
  for (const auto& s : seen) EXPECT_EQ(s, seen.front());
  auto first = seen.front();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->state(), ClientSession::kCreated);
  first->set_state(ClientSession::kAuthenticated);
  first->set_client_id("client-a");
  EXPECT_EQ(GetOrCreateClientSession(id), first);  // not reset
  EXPECT_EQ(first->state(), ClientSession::kAuthenticated);
  EXPECT_EQ(FindClientSession(id), first);
  EXPECT_TRUE(RemoveClientSession(id));
  EXPECT_FALSE(RemoveClientSession(id));
  EXPECT_EQ(FindClientSession(id), nullptr);
  EXPECT_EQ(first->client_id(), "client-a");  // it lives on for whoever still holds it
}

TEST(SessionTextTest, NamesStateAndIdsWithClientTextsEscaped) {
  ClientSession session(util::FromString("0123abcd-0000-4000-8000-00000000beef"));
  std::ostringstream out;
  out << session << "\n";
  session.set_state(ClientSession::kAuthenticated);
  // A client id holding a line end cannot start a forged log line.
  session.set_client_id("game-1\nE1207 00:00:00 forged");
  session.set_gp_token_key({"gp@example.com", "digest"});
  session.set_os_token_key({"os-1\x1b[2J", "digest"});
  out << session;
  EXPECT_EQ(out.str(),
            "0123abcd-0000-4000-8000-00000000beef(state: kUnknown, client_id: , gp_client_id: , "
            "os_client_id: )\n0123abcd-0000-4000-8000-00000000beef(state: kAuthenticated, "
            "client_id: game-1\\nE1207 00:00:00 forged, gp_client_id: gp@example.com, "
            "os_client_id: os-1\\x1b[2J)");
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHttpSessionClockForTesting([this] { return now_; });
    now_ = int64_t{1} << 50;  // sessions other tests left behind are idle by now
    FindHttpSession(util::kNilUuid);
  }
  void TearDown() override {
    FLAGS_http_session_idle_timeout_s = 3600;
    FLAGS_http_session_limit = 100000;
    now_ += int64_t{1} << 50;
    FindHttpSession(util::kNilUuid);
    SetHttpSessionClockForTesting(&MonotonicClock::Now);
  }
  std::shared_ptr<ClientSession> Add() {
    auto session = std::make_shared<ClientSession>(RandomGenerator::GenerateUuid());
    AddHttpSession(session);
    return session;
  }
  static constexpr int64_t kSecond = 1000 * 1000;
  int64_t now_ = 0;
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

TEST(TcpSessionIdsTest, RecordsEachTransportOnce) {
  struct FakeTransport : Transport {
    bool Send(const Buffer&, int) override { return true; }
    void Close() override {}
  };
  auto t1 = std::make_shared<FakeTransport>(), t2 = std::make_shared<FakeTransport>();
  const Uuid id1 = RandomGenerator::GenerateUuid(), id2 = RandomGenerator::GenerateUuid();
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
