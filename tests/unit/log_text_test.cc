// What reaches a log line: escaped, cut, and without credentials.
#include "src/log_text.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(LogTextTest, EscapesAndCuts) {
  const std::tuple<std::string, size_t, std::string> cases[] = {
      {"", 1024, ""},
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
