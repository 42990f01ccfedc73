#include "src/mysql_schema.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

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
