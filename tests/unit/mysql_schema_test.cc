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

}  // namespace
}  // namespace tvx
