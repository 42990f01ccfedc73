// The api service, which publishes the counter registry over HTTP.
#include "framework/api_service.h"

#include <gtest/gtest.h>

#include "framework/counters.h"
#include "framework/io_service.h"
#include "tests/support/http_test_client.h"

namespace tvx {
namespace {

using namespace std::chrono_literals;

CounterProvider Fixed(int status, int64_t value) {
  return [=](Json* out) {
    out->SetAttribute("v", Json(value));
    return status;
  };
}

class ApiServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    IoService::CreateIoGroup("api_service_test", 2);
    RegisterCallableCounter("api", "hits", "hit count", Fixed(200, 12));
    RegisterCallableCounter("api", "warming_up", "", Fixed(503, 0));
  }
  static void TearDownTestSuite() { IoService::DestroyAll(); }
  void SetUp() override { ASSERT_TRUE(ApiService::Start("api_service_test", 0)); }
  void TearDown() override { ApiService::Stop(); }

  std::pair<int, std::string> Get(const std::string& target, const std::string& method = "GET") {
    testing::HttpTestConnection client;
    if (!client.Connect(ApiService::port())) return {0, ""};
    auto reply = client.Exchange(testing::MakeHttpRequest(method, target));
    if (!reply) return {0, ""};
    EXPECT_EQ(reply->Header("content-type"), "application/json") << target;
    return {reply->status, reply->body};
  }
};

TEST_F(ApiServiceTest, AnswersWithTheProvidersJsonAndStatus) {
  EXPECT_EQ(Get("/v1/counters/api/hits"), std::make_pair(200, std::string(R"({"v":12})")));
  EXPECT_EQ(Get("/v1/counters/api/hits?pretty=1").first, 200);
  EXPECT_EQ(Get("/v1/counters/api/warming_up"), std::make_pair(503, std::string(R"({"v":0})")));
  EXPECT_EQ(Get("/v1/counters/api/hits", "POST").first, 405);

  Json list;
  ASSERT_TRUE(list.FromString(Get("/v1/counters").second));
  bool listed = false;
  for (size_t i = 0; i < list["counters"].Size(); ++i) {
    listed |= list["counters"][i].GetString("description") == "hit count";
  }
  EXPECT_TRUE(listed);
}

TEST_F(ApiServiceTest, UnknownCountersAndMalformedPathsAre404) {
  for (const char* target :
       {"/v1/counters/api/nothing", "/v1/counters/nothing/hits", "/v1/counters/api",
        "/v1/counters/api/", "/v1/counters//hits", "/v1/counters/api/hits/more", "/v1/other"}) {
    EXPECT_EQ(Get(target).first, 404) << target;
  }
}

TEST_F(ApiServiceTest, RunsOnceAndReleasesItsPort) {
  const uint16_t port = ApiService::port();
  EXPECT_FALSE(ApiService::Start("api_service_test", 0));
  ApiService::Stop();
  EXPECT_EQ(ApiService::port(), 0);
  EXPECT_FALSE(ApiService::Start("no such group", 0));
  EXPECT_TRUE(ApiService::Start("api_service_test", port));
}

}  // namespace
}  // namespace tvx
