// The "store_endpoints" install argument: overrides land, anything doubtful
// is refused with a message naming the member, and a refusal changes nothing.
#include "src/store_endpoints.h"

#include <gtest/gtest.h>

namespace tvx {
namespace {

class StoreEndpointsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    std::string error;
    SetStoreEndpoints(Json(), &error);
  }

  static Json Overrides(const std::string& text) {
    Json json;
    EXPECT_TRUE(json.FromString(text)) << text;
    return json;
  }
};

TEST_F(StoreEndpointsTest, MembersGivenOverrideTheirDefaultOnly) {
  std::string error;
  ASSERT_TRUE(SetStoreEndpoints(Overrides(R"({"google_oauth_token_url":"http://127.0.0.1:9/t",
                                              "one_store_test_api_base":"http://localhost:8"})"),
                                &error))
      << error;
  auto endpoints = GetStoreEndpoints();
  EXPECT_EQ(endpoints->google_oauth_token_url, "http://127.0.0.1:9/t");
  EXPECT_EQ(endpoints->one_store_test_api_base, "http://localhost:8");
  EXPECT_EQ(endpoints->google_jwt_token_url, StoreEndpoints::Defaults().google_jwt_token_url);
  EXPECT_EQ(endpoints->one_store_api_base, StoreEndpoints::Defaults().one_store_api_base);
}

TEST_F(StoreEndpointsTest, DoubtfulValuesAreRefusedAndChangeNothing) {
  std::string error;
  ASSERT_TRUE(SetStoreEndpoints(Overrides(R"({"google_api_base":"http://127.0.0.1:1"})"), &error));
  const std::vector<std::pair<std::string, std::string>> refused = {
      {R"(["http://x"])", "object"},
      {R"("http://x")", "object"},
      {R"({"google_api_url":"http://x"})", "unknown member \"google_api_url\""},
      {R"({"google_api_base":5})", "\"google_api_base\" must be a string"},
      {R"({"google_api_base":"127.0.0.1:80"})", "http:// or https://"},
      {R"({"google_api_base":"https://"})", "no host"},
      {R"({"google_api_base":"http://x/"})", "must not end with '/'"},
      {R"({"apple_sandbox_url":"http://x/a b"})", "spaces"},
      {R"({"p4_dev_base_url_service":"http://x/asm/v1/apps/me"})", "/baseUrls/"},
  };
  for (const auto& [text, why] : refused) {
    error.clear();
    EXPECT_FALSE(SetStoreEndpoints(Overrides(text), &error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
  }
  EXPECT_EQ(GetStoreEndpoints()->google_api_base, "http://127.0.0.1:1");
}

}  // namespace
}  // namespace tvx
