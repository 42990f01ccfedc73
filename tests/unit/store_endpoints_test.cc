#include "src/store_endpoints.h"

#include <gtest/gtest.h>

#include "tests/support/fake_store_server.h"

namespace tvx {
namespace {

TEST(StoreEndpointsTest, MembersGivenOverrideTheirDefaultAndDoubtfulValuesChangeNothing) {
  std::string error;
  // Every member the store flows give is applied: StoreFlowTest.
  ASSERT_TRUE(SetStoreEndpoints(
      testing::JsonObject({{"google_oauth_token_url", "http://127.0.0.1:9/t"}}), &error)) << error;
  EXPECT_EQ(GetStoreEndpoints()->google_jwt_token_url,
            StoreEndpoints::Defaults().google_jwt_token_url);

  const std::pair<const char*, const char*> kRefused[] = {
      {R"(["http://x"])", "object"}, {R"("http://x")", "object"},
      {R"({"google_api_url":"http://x"})", "unknown member \"google_api_url\""},
      {R"({"google_api_base":5})", "\"google_api_base\" must be a string"},
      {R"({"google_api_base":"127.0.0.1:80"})", "http:// or https://"},
      {R"({"google_api_base":"https://"})", "no host"},
      {R"({"google_api_base":"http://x/"})", "must not end with '/'"},
      {R"({"apple_sandbox_url":"http://x/a b"})", "spaces"},
      {R"({"p4_dev_base_url_service":"http://x/asm/v1/apps/me"})", "/baseUrls/"},
  };
  for (const auto& [text, why] : kRefused) {
    Json overrides;
    ASSERT_TRUE(overrides.FromString(text)) << text;
    error.clear();
    EXPECT_FALSE(SetStoreEndpoints(overrides, &error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << text << " -> " << error;
  }
  EXPECT_EQ(GetStoreEndpoints()->google_oauth_token_url, "http://127.0.0.1:9/t");
  SetStoreEndpoints(Json(), &error);
}

}  // namespace
}  // namespace tvx
