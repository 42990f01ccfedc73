#include "build_paths.h"
#include "src/mysql_schema.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(SchemaScriptTest, TrimsAndReplacesEveryPlaceholder) {
  EXPECT_EQ(PrepareSchemaScript("\n\t \v\fA [CHARACTER_SET] B [CHARACTER_SET][CHARACTER_SET]"
                                " \r\n\n",
                                "utf8mb4"),
            "A utf8mb4 B utf8mb4utf8mb4");
  // Only the ends are trimmed.
  EXPECT_EQ(PrepareSchemaScript("  a \n\n b  ", "x"), "a \n\n b");
  EXPECT_EQ(PrepareSchemaScript(" \n\t\r\v\f ", "utf8"), "");
  // The inserted value is not searched again.
  EXPECT_EQ(PrepareSchemaScript("[CHARACTER_SET]", "[CHARACTER_SET]x"), "[CHARACTER_SET]x");
  EXPECT_EQ(PrepareSchemaScript("[CHARACTER_SET", "utf8"), "[CHARACTER_SET");
  // "utf8" asks for the four-byte set; a set named exactly is kept.
  EXPECT_EQ(PrepareSchemaScript("[CHARACTER_SET]", "utf8"), "utf8mb4");
  EXPECT_EQ(PrepareSchemaScript("[CHARACTER_SET]", "UTF8"), "utf8mb4");
  EXPECT_EQ(PrepareSchemaScript("[CHARACTER_SET]", "utf8mb3"), "utf8mb3");
  EXPECT_EQ(PrepareSchemaScript("[CHARACTER_SET]", "latin1"), "latin1");
}

TEST(SchemaScriptTest, ShippedScriptHasThePlaceholderAndNoDelimiters) {
  // The export wraps the script between "DELIMITER $$" and "$$": a "$$"
  // inside would end it early.
  const std::string path = std::string(BILLER_SOURCE_DIR) + kSchemaScriptPath;
  FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr) << path;
  std::string text;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) text.append(chunk, n);
  std::fclose(file);
  EXPECT_NE(text.find(kCharacterSetPlaceholder), std::string::npos);
  EXPECT_EQ(text.find("$$"), std::string::npos);
  EXPECT_EQ(text.find("DELIMITER"), std::string::npos);
  EXPECT_EQ(text.find("DROP TABLE"), std::string::npos);
}

}  // namespace
}  // namespace tvx
