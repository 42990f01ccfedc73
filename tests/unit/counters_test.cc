// The counter registry (one provider per name, called without the registry
// locked) and the api service that publishes it over HTTP.
#include "framework/counters.h"

#include <future>

#include <gtest/gtest.h>

#include "framework/api_service.h"
#include "framework/io_service.h"
#include "tests/support/biller_process.h"

namespace tvx {
namespace {

using namespace std::chrono_literals;

CounterProvider Fixed(int status, int64_t value) {
  return [=](Json* out) {
    out->SetAttribute("v", Json(value));
    return status;
  };
}

TEST(CounterRegistryTest, ProvidersRunUnlockedAndOutliveTheirUnregistering) {
  ASSERT_TRUE(RegisterCallableCounter("nested", "inner", "", Fixed(200, 7)));
  ASSERT_TRUE(RegisterCallableCounter("nested", "outer", "", [](Json* out) {
    Json inner;
    const int status = CallCounter("nested", "inner", &inner);
    RegisterCallableCounter("nested", "made_inside", "", Fixed(200, 0));
    out->SetAttribute("inner", inner);
    return status;
  }));
  auto nested = std::async(std::launch::async, [] {
    Json out;
    return CallCounter("nested", "outer", &out) == 200 && out["inner"].GetInteger("v") == 7;
  });
  ASSERT_EQ(nested.wait_for(10s), std::future_status::ready) << "provider ran under the lock";
  EXPECT_TRUE(nested.get());

  std::promise<void> entered, release;
  auto released = release.get_future().share();
  ASSERT_TRUE(RegisterCallableCounter("race", "slow", "", [&, released](Json* out) {
    entered.set_value();
    released.wait();
    out->SetAttribute("done", Json(true));
    return 200;
  }));
  auto call = std::async(std::launch::async, [] {
    Json out;
    return CallCounter("race", "slow", &out) == 200 && out.GetBool("done");
  });
  entered.get_future().wait();
  EXPECT_TRUE(UnregisterCallableCounter("race", "slow"));
  release.set_value();
  EXPECT_TRUE(call.get());
}

// "status body" of the api service's answer, always JSON.
std::string Get(const std::string& target) {
  const testing::HttpResult reply = testing::HttpGet(ApiService::port(), target);
  EXPECT_EQ(reply.Header("content-type"), "application/json") << target;
  return std::to_string(reply.status) + " " + reply.body;
}

TEST(ApiServiceTest, AnswersWithTheProvidersJsonAndStatusAndReleasesItsPort) {
  IoService::CreateIoGroup("api_service_test", 2);
  ASSERT_TRUE(RegisterCallableCounter("api", "hits", "hit count", Fixed(200, 12)));
  EXPECT_FALSE(RegisterCallableCounter("api", "hits", "", Fixed(200, 2)));
  EXPECT_FALSE(RegisterCallableCounter("api", "nothing", "", nullptr));
  EXPECT_TRUE(RegisterCallableCounter("api", "warming_up", "", Fixed(503, 0)));
  // A status no answer can carry becomes 500, before the HTTP server sees it.
  EXPECT_TRUE(RegisterCallableCounter("api", "odd", "", Fixed(42, 3)));
  EXPECT_EQ(CallCounter("api", "odd", nullptr), 500);
  EXPECT_TRUE(UnregisterCallableCounter("api", "odd"));
  ASSERT_TRUE(ApiService::Start("api_service_test", 0));
  EXPECT_EQ(Get("/v1/counters/api/hits"), R"(200 {"v":12})");
  EXPECT_EQ(Get("/v1/counters/api/warming_up"), R"(503 {"v":0})");
  EXPECT_EQ(Get("/v1/counters/api/hits?pretty=1").substr(0, 4), "200 ");
  EXPECT_EQ(testing::HttpPost(ApiService::port(), "/v1/counters/api/hits", "").status, 405);
  for (const char* target :
       {"/v1/counters/api/odd", "/v1/counters/nothing/hits", "/v1/counters/api",
        "/v1/counters/api/", "/v1/counters//hits", "/v1/counters/api/hits/more", "/v1/other"}) {
    EXPECT_EQ(Get(target).substr(0, 4), "404 ") << target;
  }
  EXPECT_NE(Get("/v1/counters").find(R"("description":"hit count")"), std::string::npos);

  const uint16_t port = ApiService::port();
  ApiService::Stop();
  EXPECT_TRUE(ApiService::Start("api_service_test", port));
  ApiService::Stop();
  IoService::DestroyAll();
}

}  // namespace
}  // namespace tvx
