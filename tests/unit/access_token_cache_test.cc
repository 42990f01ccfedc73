// The token cache's rules, driven by hand: the refresher only records the
// token requests the cache asks for, the test answers them, and the refresh
// timers are fakes the test reads and fires.
#include "src/access_token_cache.h"

#include <gtest/gtest.h>

#include "tests/support/fake_deadline_timer.h"

namespace tvx::testing {
namespace {

using boost::system::error_code;

struct Secret {
  std::string secret;
  bool operator==(const Secret&) const = default;
};

using Cache = AccessTokenCache<Secret, int>;

constexpr TokenCacheTexts kTexts = {"[Test] ", "Test API", "Test", "Test"};

struct RefreshCall {
  std::string key;
  Secret credentials;
  int context;
};

struct Answer {
  std::string token;
  error_code ec;
  int caller;
};

class AccessTokenCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_ = std::make_shared<Cache>(kTexts, [this](const std::shared_ptr<IoContext>& io,
                                                    const std::string& key, const Secret& secret,
                                                    const int& context) {
      EXPECT_TRUE(io);
      refreshes_.push_back({key, secret, context});
    });
    cache_->SetIoService(std::make_shared<IoContext>());
    cache_->SetTimerFactory([this](const std::shared_ptr<IoContext>&) {
      timers_.push_back(std::make_shared<FakeTimerState>());
      return std::make_unique<FakeDeadlineTimer>(timers_.back());
    });
  }

  AccessTokenCallback Caller(int id) {
    return [this, id](const std::string& token, const error_code& ec) {
      answers_.push_back({token, ec, id});
    };
  }

  void Get(const std::string& key, const std::string& secret, int caller, int context = 0) {
    cache_->Get(key, Secret{secret}, context, Caller(caller));
  }

  // Answers refresh call `index` with a token.
  void Succeed(size_t index, const std::string& token, int32_t expires_in = 3600) {
    ASSERT_LT(index, refreshes_.size());
    AccessTokenResponse response;
    response.access_token = token;
    response.expires_in = expires_in;
    const RefreshCall call = refreshes_[index];
    cache_->OnRefreshed(call.key, call.credentials, call.context, error_code(), response);
  }

  void Fail(size_t index, const error_code& ec, int32_t code = AccessTokenResponse::kSuccess) {
    ASSERT_LT(index, refreshes_.size());
    AccessTokenResponse response;
    response.code = code;
    const RefreshCall call = refreshes_[index];
    cache_->OnRefreshed(call.key, call.credentials, call.context, ec, response);
  }

  std::shared_ptr<Cache> cache_;
  std::vector<RefreshCall> refreshes_;
  std::vector<Answer> answers_;
  std::vector<std::shared_ptr<FakeTimerState>> timers_;
};

TEST_F(AccessTokenCacheTest, ConcurrentCallersShareOneRequestAndAreAnsweredInCallOrder) {
  Get("acct", "s", 1);
  Get("acct", "s", 2);
  Get("acct", "s", 3);
  ASSERT_EQ(refreshes_.size(), 1u);
  EXPECT_EQ(refreshes_[0].key, "acct");
  EXPECT_EQ(refreshes_[0].credentials.secret, "s");
  EXPECT_TRUE(answers_.empty());

  Succeed(0, "tok-1");
  ASSERT_EQ(answers_.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(answers_[i].caller, i + 1);
    EXPECT_EQ(answers_[i].token, "tok-1");
    EXPECT_FALSE(answers_[i].ec);
  }

  // Later callers are answered from the cache, at once.
  Get("acct", "s", 4);
  EXPECT_EQ(refreshes_.size(), 1u);
  ASSERT_EQ(answers_.size(), 4u);
  EXPECT_EQ(answers_[3].token, "tok-1");
}

TEST_F(AccessTokenCacheTest, RefreshTimerRenewsAMinuteBeforeExpiryButNotSoonerThanTenSeconds) {
  const std::vector<std::pair<int32_t, int64_t>> cases = {
      {3600, 3540}, {71, 11}, {70, 10}, {30, 10}, {0, 10}, {-100, 10},
      {std::numeric_limits<int32_t>::min(), 10}, {std::numeric_limits<int32_t>::max(),
                                                  int64_t{std::numeric_limits<int32_t>::max()} - 60}};
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string key = "acct-" + std::to_string(i);
    Get(key, "s", 1);
    Succeed(refreshes_.size() - 1, "tok", cases[i].first);
    ASSERT_EQ(timers_.size(), i + 1);
    ASSERT_FALSE(timers_[i]->expiries.empty());
    EXPECT_EQ(timers_[i]->expiries.back(), std::chrono::seconds(cases[i].second))
        << "expires_in=" << cases[i].first;
    EXPECT_TRUE(timers_[i]->pending);
  }
}

TEST_F(AccessTokenCacheTest, ExpiredTokenIsRenewedWhileCallersWaitForTheNewOne) {
  Get("acct", "s", 1, /*context=*/7);
  Succeed(0, "old");
  ASSERT_EQ(timers_.size(), 1u);

  timers_[0]->last(error_code());  // expiry
  ASSERT_EQ(refreshes_.size(), 2u);
  EXPECT_EQ(refreshes_[1].credentials.secret, "s");
  EXPECT_EQ(refreshes_[1].context, 7);  // the context of the refresh that set the timer

  // The old token is not handed out any more.
  Get("acct", "s", 2);
  EXPECT_EQ(refreshes_.size(), 2u);
  ASSERT_EQ(answers_.size(), 1u);
  Succeed(1, "new", 120);
  ASSERT_EQ(answers_.size(), 2u);
  EXPECT_EQ(answers_[1].token, "new");
  EXPECT_EQ(timers_[0]->expiries.back(), std::chrono::seconds(60));
}

TEST_F(AccessTokenCacheTest, FailuresReachEveryWaiterAndTheNextCallerTriesAgain) {
  Get("acct", "s", 1);
  Get("acct", "s", 2);
  Fail(0, MakeCommonError(kHttpRequestFailure));
  ASSERT_EQ(answers_.size(), 2u);
  for (const Answer& answer : answers_) {
    EXPECT_EQ(answer.token, "");
    EXPECT_EQ(answer.ec, MakeCommonError(kHttpRequestFailure));
  }
  EXPECT_TRUE(timers_[0]->expiries.empty());  // no timer for a token never obtained

  // A refusal by the store is the biller's "wrong service provider
  // authentication key".
  Get("acct", "s", 3);
  ASSERT_EQ(refreshes_.size(), 2u);
  Fail(1, error_code(), AccessTokenResponse::kFailure);
  ASSERT_EQ(answers_.size(), 3u);
  EXPECT_TRUE(answers_[2].ec == kWrongServiceProviderAuthKey);

  Get("acct", "s", 4);
  ASSERT_EQ(refreshes_.size(), 3u);
  Succeed(2, "tok");
  EXPECT_EQ(answers_.back().token, "tok");
  EXPECT_FALSE(answers_.back().ec);
}

TEST_F(AccessTokenCacheTest, NewCredentialsWhileRefreshingDiscardTheOutdatedAnswer) {
  Get("acct", "old", 1);
  Get("acct", "new", 2);
  ASSERT_EQ(refreshes_.size(), 2u);
  EXPECT_EQ(refreshes_[1].credentials.secret, "new");

  Succeed(0, "tok-old");  // outdated: nobody is answered
  EXPECT_TRUE(answers_.empty());
  EXPECT_TRUE(timers_[0]->expiries.empty());

  Succeed(1, "tok-new");
  ASSERT_EQ(answers_.size(), 2u);
  EXPECT_EQ(answers_[0].token, "tok-new");
  EXPECT_EQ(answers_[1].token, "tok-new");

  // The outdated answer, had it failed, would not have failed the waiters
  // either.
  Get("acct", "newer", 3);
  Fail(0, error_code(), AccessTokenResponse::kFailure);
  EXPECT_EQ(answers_.size(), 2u);
}

TEST_F(AccessTokenCacheTest, NewCredentialsReplaceAReadyTokenAndItsTimer) {
  Get("acct", "old", 1);
  Succeed(0, "tok-old");
  ASSERT_TRUE(timers_[0]->pending);

  Get("acct", "new", 2);
  ASSERT_EQ(refreshes_.size(), 2u);
  EXPECT_FALSE(timers_[0]->pending);  // cancelled
  ASSERT_EQ(answers_.size(), 1u);     // not answered with the old account's token

  // A timer that fired just before the cancel finds other credentials.
  timers_[0]->last(error_code());
  EXPECT_EQ(refreshes_.size(), 2u);

  Fail(1, error_code(), AccessTokenResponse::kFailure);
  ASSERT_EQ(answers_.size(), 2u);
  EXPECT_TRUE(answers_[1].ec == kWrongServiceProviderAuthKey);
  EXPECT_EQ(answers_[1].token, "");
}

TEST_F(AccessTokenCacheTest, ByKeyUsesTheStoredCredentials) {
  EXPECT_FALSE(cache_->GetByKey("unknown", 0, Caller(1)));
  EXPECT_TRUE(answers_.empty());

  Get("acct", "s", 1, 0);
  Fail(0, MakeCommonError(kHttpRequestFailure));
  ASSERT_TRUE(cache_->GetByKey("acct", 5, Caller(2)));
  ASSERT_EQ(refreshes_.size(), 2u);
  EXPECT_EQ(refreshes_[1].credentials.secret, "s");
  EXPECT_EQ(refreshes_[1].context, 5);

  EXPECT_TRUE(cache_->GetByKey("acct", 5, Caller(3)));  // waits for the same request
  EXPECT_EQ(refreshes_.size(), 2u);
  Succeed(1, "tok");
  ASSERT_EQ(answers_.size(), 3u);
  EXPECT_EQ(answers_[1].token, "tok");
  EXPECT_EQ(answers_[2].token, "tok");

  EXPECT_TRUE(cache_->GetByKey("acct", 5, Caller(4)));
  EXPECT_EQ(answers_.back().token, "tok");
  EXPECT_EQ(refreshes_.size(), 2u);
}

TEST_F(AccessTokenCacheTest, AccountsKeepTheirOwnTimers) {
  Get("a", "s", 1);
  Get("b", "s", 2);
  Succeed(0, "tok-a", 600);
  Succeed(1, "tok-b", 900);
  ASSERT_EQ(timers_.size(), 2u);
  timers_[0]->last(error_code());
  Succeed(2, "tok-a2", 600);
  EXPECT_EQ(timers_[0]->expiries.size(), 2u);
  EXPECT_EQ(timers_[1]->expiries.size(), 1u);
  EXPECT_EQ(timers_[1]->cancels, 1);  // the one before its own first wait
  EXPECT_TRUE(timers_[1]->pending);
}

TEST_F(AccessTokenCacheTest, CallbacksMayAskTheCacheAgain) {
  cache_->Get("acct", Secret{"s"}, 0, [this](const std::string& token, const error_code&) {
    // Runs without the cache's lock held: asking again must not deadlock.
    Get("acct", "s", 2);
    answers_.push_back({token, error_code(), 1});
  });
  Succeed(0, "tok");
  ASSERT_EQ(answers_.size(), 2u);
  EXPECT_EQ(answers_[0].caller, 2);
  EXPECT_EQ(answers_[0].token, "tok");
}

TEST_F(AccessTokenCacheTest, ShutdownCancelsTimersAndForgetsEveryAccount) {
  Get("a", "s", 1);
  Succeed(0, "tok-a");
  Get("b", "s", 2);  // in flight at shutdown
  ASSERT_TRUE(timers_[0]->pending);

  cache_->Shutdown();
  EXPECT_FALSE(timers_[0]->pending);
  EXPECT_EQ(cache_->size(), 0u);

  // Late events for forgotten accounts change nothing.
  Succeed(1, "tok-b");
  timers_[0]->last(error_code());
  EXPECT_EQ(refreshes_.size(), 2u);
  EXPECT_EQ(answers_.size(), 1u);
  EXPECT_FALSE(cache_->GetByKey("a", 0, Caller(3)));
}

TEST(ReadAccessTokenAnswerTest, SortsAnswersIntoTokensRefusalsAndFailures) {
  auto read = [](http::TransportCode transport, int status, const std::string& body,
                 AccessTokenResponse* out) {
    http::Response response;
    response.status_code = status;
    response.body = body;
    return ReadAccessTokenAnswer(transport, response, kTexts, out);
  };
  AccessTokenResponse out;
  using http::TransportCode;

  EXPECT_FALSE(read(TransportCode::kOk, 200, R"({"access_token":"t","expires_in":3599})", &out));
  EXPECT_EQ(out.code, AccessTokenResponse::kSuccess);
  EXPECT_EQ(out.access_token, "t");
  EXPECT_EQ(out.expires_in, 3599);

  // Saturated, never wrapped into a negative lifetime.
  EXPECT_FALSE(read(TransportCode::kOk, 200, R"({"access_token":"t","expires_in":8589934592})",
                    &out));
  EXPECT_EQ(out.expires_in, std::numeric_limits<int32_t>::max());

  for (int status : {400, 401, 403, 404, 302}) {
    EXPECT_FALSE(read(TransportCode::kOk, status, R"({"error":"invalid_grant"})", &out));
    EXPECT_EQ(out.code, AccessTokenResponse::kFailure) << status;
  }

  const error_code unreachable = MakeCommonError(kHttpRequestFailure);
  EXPECT_EQ(read(TransportCode::kOk, 500, "", &out), unreachable);
  EXPECT_EQ(read(TransportCode::kOk, 503, "busy", &out), unreachable);
  EXPECT_EQ(read(TransportCode::kCouldNotConnect, 0, "", &out), unreachable);
  EXPECT_EQ(read(TransportCode::kTimedOut, 200, R"({"access_token":"t","expires_in":1})", &out),
            unreachable);

  for (const std::string body :
       {"", "not json", "[]", R"({"expires_in":3600})", R"({"access_token":"","expires_in":1})",
        R"({"access_token":7,"expires_in":1})", R"({"access_token":"t"})",
        R"({"access_token":"t","expires_in":"3600"})", R"({"access_token":"t","expires_in":1.5})"}) {
    EXPECT_TRUE(read(TransportCode::kOk, 200, body, &out) == kServiceProviderProtocolError)
        << body;
    EXPECT_EQ(out.access_token, "") << body;
  }
}

}  // namespace
}  // namespace tvx::testing
