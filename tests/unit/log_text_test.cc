// JSON values, and what reaches a log line: escaped, cut, and without
// credentials.
#include "src/log_text.h"

#include <gtest/gtest.h>

#include "framework/json.h"

namespace tvx {
namespace {

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

}  // namespace
}  // namespace tvx
