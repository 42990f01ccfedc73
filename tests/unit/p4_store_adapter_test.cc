// The PlayStation platform configuration, requests, answers and entitlement judgement.
#include "src/p4_store_adapter.h"

#include <gtest/gtest.h>

#include "src/billing_error.h"

namespace tvx {
namespace {

using Entitlement = P4StoreAdapter::EntitlementResponse;

Json Parse(const char* text) {
  Json json;
  EXPECT_TRUE(json.FromString(text)) << text;
  return json;
}

TEST(P4PlatformArgumentTest, WrongArgumentsAreRefusedAndNoneChangesNothing) {
  P4StoreAdapter::PlatformArgument platform;
  // A whole argument and the platform it gives: StoreValidation (PlayStation).
  P4StoreAdapter::MakeBasicAuthorization("~~~", "?", &platform.authorization);
  EXPECT_EQ(platform.authorization, "Basic fn5+Oj8=");  // the standard alphabet, padded
  for (const char* text : {R"({"environment": "DEV", "client_id": "c", "secret": "s"})",
                           R"({"client_id": "c", "secret": "s"})", R"({"environment": "qa", "client_id": "c"})",
                           R"({"environment": "qa", "client_id": "", "secret": "s"})",
                           R"({"environment": "qa", "client_id": 7, "secret": "s"})"}) {
    EXPECT_FALSE(ReadP4PlatformArgument(Parse(text), &platform)) << text;
  }
  ArgumentMap arguments;
  std::string error;
  ASSERT_TRUE(arguments.LoadFromString(R"({"p4_platform": null})", &error)) << error;
  EXPECT_FALSE(P4StoreAdapter::ParseP4PlatformArgument(arguments));
  // Without the argument the platform stays as it was (unconfigured at start).
  const std::string environment = P4StoreAdapter::GetPlatformArgument().environment;
  EXPECT_TRUE(P4StoreAdapter::ParseP4PlatformArgument(ArgumentMap()));
  EXPECT_EQ(P4StoreAdapter::GetPlatformArgument().environment, environment);
}

TEST(P4RequestTest, TokenRequestsAreEscapedAndEntitlementsNeedTheirFourMembersOfTheirTypes) {
  EXPECT_EQ(MakeP4TokenRequestBody("x&grant_type=password"),
            "grant_type=authorization_code&redirect_uri=orbis%3A%2F%2Fgames"
            "&code=x%26grant_type%3Dpassword");
  const auto read = [](const char* body, int64_t requested) {
    Entitlement e;
    EXPECT_TRUE(ReadP4Entitlement(body, requested, &e)) << body;
    return std::tuple(e.id, e.is_consumable, e.use_count, e.use_limit, e.requested_use_count);
  };
  EXPECT_EQ(read(R"({"id": "E", "is_consumable": true, "use_count": 2, "use_limit": 5, "x": 1})", 3),
            std::tuple("E", true, 2, 5, 3));
  // 64-bit numbers keep their low 32 bits.
  EXPECT_EQ(read(R"({"id": "E", "is_consumable": false, "use_count": 4294967297, "use_limit": 2147483648})",
                 2147483648LL),
            std::tuple("E", false, 1, INT32_MIN, INT32_MIN));
  Entitlement entitlement;
  for (const char* body : {"", "[]", R"({"is_consumable": true, "use_count": 0, "use_limit": 0})",
                           R"({"id": "E", "use_count": 0, "use_limit": 0})",
                           R"({"id": "E", "is_consumable": "false", "use_count": 0, "use_limit": 0})",
                           R"({"id": "E", "is_consumable": false, "use_count": "0", "use_limit": 0})",
                           R"({"id": "E", "is_consumable": false, "use_count": 0, "use_limit": null})",
                           R"({"id": 5, "is_consumable": false, "use_count": 0, "use_limit": 0})"}) {
    EXPECT_FALSE(ReadP4Entitlement(body, 1, &entitlement)) << body;
  }
}

TEST(P4JudgementTest, UnusedAndUnlimitedIsAcceptedElseTheLimitThenConsumability) {
  using Verdict = P4EntitlementVerdict;
  const struct {
    bool is_consumable;
    int32_t use_count, use_limit, requested;
    Verdict verdict;
  } kRows[] = {
      {false, 0, 0, 0, Verdict::kAccept},           {false, 0, 0, 100, Verdict::kAccept},
      {true, 0, 0, 1, Verdict::kAccept},            {true, 0, 5, 5, Verdict::kAccept},
      {true, 0, 5, 6, Verdict::kUseLimitExceeded},  {false, 1, 5, 6, Verdict::kUseLimitExceeded},
      {false, 0, 5, 1, Verdict::kNotConsumable},    {false, 3, 0, 0, Verdict::kNotConsumable},
      {true, 3, 0, 1, Verdict::kUseLimitExceeded},
  };
  for (const auto& r : kRows) {
    EXPECT_EQ(JudgeP4Entitlement({"E", r.is_consumable, r.requested, r.use_count, r.use_limit}), r.verdict)
        << r.is_consumable << " " << r.use_count << " " << r.use_limit << " " << r.requested;
  }
}

TEST(P4RequestTest, RequestsThatCannotBeSentAreAnsweredAtOnce) {
  // The platform cannot be unconfigured again once StoreFlowTest configured it.
  if (!P4StoreAdapter::GetPlatformArgument().token_url.empty()) GTEST_SKIP() << "configured";
  std::vector<boost::system::error_code> answers;
  P4StoreAdapter::Create(nullptr)->RequestReceiptValidation(
      "E", 1, 1, "code", [&](const boost::system::error_code& ec, const Entitlement& e) {
        answers.push_back(ec);
        EXPECT_TRUE(e.id.empty());
      });
  EXPECT_EQ(answers, std::vector{MakeP4RequestError(kP4PlatformNotConfigured)});
  EXPECT_EQ(ToResultCode(answers.at(0)), kServiceProviderCommunicationError);
}

}  // namespace
}  // namespace tvx
