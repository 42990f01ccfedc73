// The wire and text formats: frames, JSON, UUIDs, log text and the schema
// script's placeholders.
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "framework/json.h"
#include "framework/tcp.h"
#include "framework/uuid.h"
#include "src/log_text.h"
#include "src/mysql_schema.h"

namespace tvx {
namespace {

TEST(FramingTest, DecodesBigEndianFramesAcrossArbitraryReadBoundaries) {
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
}

TEST(FramingTest, RefusesOversizedLengthBeforeItsBodyArrives) {
  framing::FrameDecoder decoder(16);
  std::string body;
  decoder.Append(framing::EncodeFrame(std::string(16, 'a')).data(), 20);
  EXPECT_EQ(decoder.Next(&body), framing::FrameDecoder::Result::kFrame);
  decoder.Append("\x00\x00\x00\x11", 4);
  EXPECT_EQ(decoder.Next(&body), framing::FrameDecoder::Result::kTooLarge);
}

TEST(JsonTest, KeepsMemberOrderAndReadsNeverThrowOnTheWrongKind) {
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
}

TEST(JsonTest, RejectsMalformedTextWithAMessage) {
  // A number beyond the range of a double could not be written back.
  for (const char* text : {"", "{", "{'a': 1}", "[1,]", "nul", "{\"a\":1} trailing",
                           "{\"a\": [1, -1.5e400]}"}) {
    Json json = Json::Object();
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

// The string and the stream forms write the same text.
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

}  // namespace
}  // namespace tvx
