#include "framework/json.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

TEST(JsonTest, KeepsMemberOrderThroughParseAndPrint) {
  Json json;
  ASSERT_TRUE(json.FromString(R"({"z": 1, "a": [true, null], "m": {"y": "v", "b": 2.5}})"));
  EXPECT_EQ(json.ToString(), R"({"z":1,"a":[true,null],"m":{"y":"v","b":2.5E0}})");
  json.SetString("c", "new");
  EXPECT_EQ(json.GetAttributeNames(), (std::vector<std::string>{"z", "a", "m", "c"}));
}

TEST(JsonTest, ReadsNeverThrowOnTheWrongKind) {
  Json json;
  ASSERT_TRUE(json.FromString(R"({"s": "text", "i": 7, "big": 18446744073709551615, "b": true})"));
  EXPECT_TRUE(json.HasAttribute("s", Json::kString));
  EXPECT_FALSE(json.HasAttribute("s", Json::kInteger));
  EXPECT_TRUE(json.HasAttribute("i", Json::kInteger));
  // Larger than a signed 64-bit integer: not an integer for the biller.
  EXPECT_FALSE(json.HasAttribute("big", Json::kInteger));
  EXPECT_EQ(json.GetInteger("big"), 0);
  EXPECT_EQ(json.GetString("i"), "");
  EXPECT_EQ(json.GetInteger("s"), 0);
  EXPECT_FALSE(json.GetBool("missing"));
  EXPECT_TRUE(json["missing"].IsNull());
  EXPECT_TRUE(json["s"][3].IsNull());
  EXPECT_EQ(json.Size(), 4u);
  EXPECT_EQ(Json("x").Size(), 0u);
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

}  // namespace
}  // namespace tvx
