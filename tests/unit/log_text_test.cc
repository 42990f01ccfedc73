#include "src/log_text.h"

#include <sstream>

#include <gtest/gtest.h>

namespace tvx {
namespace {

struct EscapeCase {
  std::string text;
  size_t max_bytes;
  std::string expected;
};

class LogTextTest : public testing::TestWithParam<EscapeCase> {};

// The string and the stream forms write the same text.
TEST_P(LogTextTest, EscapesAndCuts) {
  const EscapeCase& c = GetParam();
  EXPECT_EQ(ToLogText(c.text, c.max_bytes), c.expected);
  std::ostringstream streamed;
  streamed << "[" << LogText(c.text, c.max_bytes) << "]";
  EXPECT_EQ(streamed.str(), "[" + c.expected + "]");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LogTextTest,
    testing::Values(EscapeCase{"", 1024, ""}, EscapeCase{"plain text", 1024, "plain text"},
                    EscapeCase{"a\nb\rc\td\\e", 1024, "a\\nb\\rc\\td\\\\e"},
                    EscapeCase{std::string("\x1b[0m\0\x7f", 6), 1024, "\\x1b[0m\\x00\\x7f"},
                    EscapeCase{"\n\n", 1024, "\\n\\n"},
                    EscapeCase{"caf\xc3\xa9", 1024, "caf\xc3\xa9"},
                    EscapeCase{"abcdef", 6, "abcdef"}, EscapeCase{"abcdef", 3, "abc...(6 bytes)"},
                    EscapeCase{"ab\ncd", 3, "ab\\n...(5 bytes)"},
                    EscapeCase{"abc", 0, "...(3 bytes)"}));

TEST(JsonForLogTest, HidesCredentialsOnlyAndEscapesAccounts) {
  Json receipt;
  ASSERT_TRUE(receipt.FromString(
      R"({"product_id":"gem\n","refresh_token":"r","nested":{"secret":"kept"},"secret":7})"));
  EXPECT_EQ(JsonForLog(receipt),
            R"({"product_id":"gem\\n","refresh_token":"<redacted>","nested":{"secret":"kept"},)"
            R"("secret":"<redacted>"})");
  EXPECT_EQ(receipt.GetString("refresh_token"), "r");  // the receipt itself is untouched

  Json plain;
  ASSERT_TRUE(plain.FromString(R"({"product_id":"gem","n":1})"));
  EXPECT_EQ(JsonForLog(plain, 10), R"({"product_...(26 bytes))");
  EXPECT_EQ(JsonForLog(Json("a\tb")), "\"a\\\\tb\"");

  EXPECT_EQ(AccountForLog(PlayerAccount("guest", "p\n1")), "guest:p\\n1");
}

}  // namespace
}  // namespace tvx
