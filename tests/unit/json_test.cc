#include "framework/json.h"

#include <gtest/gtest.h>

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
  for (const char* text : {"", "{", "[1,]", "{\"a\":1} trailing", "{\"a\": [1, -1.5e400]}"}) {
    json = Json::Object();
    std::string error;
    EXPECT_FALSE(json.FromString(text, [&](const std::string& m) { error = m; })) << text;
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(json.IsNull());
  }
}

}  // namespace
}  // namespace tvx
