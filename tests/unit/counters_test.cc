// The counter registry: one provider per name, called without the registry
// locked.
#include "framework/counters.h"

#include <future>

#include <gtest/gtest.h>

namespace tvx {
namespace {

using namespace std::chrono_literals;

CounterProvider Fixed(int status, int64_t value) {
  return [=](Json* out) {
    out->SetAttribute("v", Json(value));
    return status;
  };
}

TEST(CounterRegistryTest, OneProviderPerCategoryAndName) {
  EXPECT_TRUE(RegisterCallableCounter("reg", "a", "", Fixed(200, 1)));
  EXPECT_FALSE(RegisterCallableCounter("reg", "a", "", Fixed(200, 2)));
  EXPECT_FALSE(RegisterCallableCounter("reg", "b", "", nullptr));
  EXPECT_TRUE(RegisterCallableCounter("reg2", "a", "", Fixed(42, 3)));  // other category
  Json out;
  EXPECT_EQ(CallCounter("reg", "a", &out), 200);
  EXPECT_EQ(out.GetInteger("v"), 1);
  EXPECT_EQ(CallCounter("reg2", "a", &out), 500) << "a status no answer can carry";
  EXPECT_TRUE(UnregisterCallableCounter("reg", "a"));
  EXPECT_EQ(CallCounter("reg", "a", &out), 404);
  EXPECT_TRUE(out.IsNull());
}

TEST(CounterRegistryTest, ProviderRunsWithoutTheRegistryLocked) {
  // A provider that uses the registry would deadlock under the lock.
  ASSERT_TRUE(RegisterCallableCounter("nested", "inner", "", Fixed(200, 7)));
  ASSERT_TRUE(RegisterCallableCounter("nested", "outer", "", [](Json* out) {
    Json inner;
    const int status = CallCounter("nested", "inner", &inner);
    RegisterCallableCounter("nested", "made_inside", "", Fixed(200, 0));
    out->SetAttribute("inner", inner);
    return status;
  }));
  auto call = std::async(std::launch::async, [] {
    Json out;
    return CallCounter("nested", "outer", &out) == 200 && out["inner"].GetInteger("v") == 7;
  });
  ASSERT_EQ(call.wait_for(10s), std::future_status::ready) << "provider ran under the lock";
  EXPECT_TRUE(call.get());
}

TEST(CounterRegistryTest, UnregisteringDuringACallLetsTheCallFinish) {
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

}  // namespace
}  // namespace tvx
