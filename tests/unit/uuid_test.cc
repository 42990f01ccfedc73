#include "framework/uuid.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

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

}  // namespace
}  // namespace tvx
