// The token cache's rules: the test answers the recorded token requests and
// turns the fake refresh timers and clock.
#include "src/access_token_cache.h"

#include <gtest/gtest.h>

#include "tests/support/fake_deadline_timer.h"

namespace tvx::testing {
namespace {

using boost::system::error_code;

struct Secret {
  std::string secret;
  std::string DigestInput() const { return secret; }
};
using Cache = AccessTokenCache<Secret, int>;

constexpr TokenCacheTexts kTexts = {"[Test] ", "Test API", "Test", "Test"};
constexpr int64_t kHour = int64_t{3600} * 1000 * 1000;
struct RefreshCall {
  std::string asked;  // "account/secret/context"
  AccessTokenCompletion done;
};
using Answer = std::tuple<int, std::string, error_code>;  // caller, token, error
Answer Token(int caller, const std::string& token) { return {caller, token, {}}; }
Answer Refused(int caller) { return {caller, "", MakeBillerError(kWrongServiceProviderAuthKey)}; }
Answer Unreachable(int caller) { return {caller, "", MakeCommonError(kHttpRequestFailure)}; }

class AccessTokenCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_ = std::make_shared<Cache>(
        kTexts, [this](const std::shared_ptr<IoContext>&, const std::string& account,
                       const Secret& secret, const int& context, AccessTokenCompletion done) {
          refreshes_.push_back(
              {account + "/" + secret.secret + "/" + std::to_string(context), std::move(done)});
        });
    cache_->SetIoService(std::make_shared<IoContext>());
    cache_->SetClock([this] { return now_; });
    cache_->SetTimerFactory([this](const std::shared_ptr<IoContext>&) {
      timers_.push_back(std::make_shared<FakeTimerState>());
      return std::make_unique<FakeDeadlineTimer>(timers_.back());
    });
  }

  AccessTokenCallback Caller(int id) {
    return [this, id](const std::string& token, const error_code& ec) {
      answers_.push_back({id, token, ec});
    };
  }
  void Get(const std::string& account, const std::string& secret, int caller, int context = 0) {
    cache_->Get(account, Secret{secret}, context, Caller(caller));
  }
  bool GetByKey(const std::string& account, const std::string& secret, int caller,
                int context = 0) {
    return cache_->GetByKey(Cache::KeyOf(account, Secret{secret}), context, Caller(caller));
  }
  // Answers refresh call `i` with a token, a transport failure or a refusal.
  void Succeed(size_t i, const std::string& token, int32_t expires_in = 3600) {
    refreshes_.at(i).done({}, {.expires_in = expires_in, .access_token = token});
  }
  void Fail(size_t i) { refreshes_.at(i).done(MakeCommonError(kHttpRequestFailure), {}); }
  void Refuse(size_t i) { refreshes_.at(i).done({}, {AccessTokenResponse::kFailure, 0, ""}); }
  void Obtain(const std::string& account, const std::string& secret, int caller,
              const std::string& token) {
    Get(account, secret, caller);
    Succeed(refreshes_.size() - 1, token);
  }
  void Expire(size_t timer) { timers_[timer]->last(error_code()); }

  std::shared_ptr<Cache> cache_;
  int64_t now_ = 1000 * kHour;
  std::vector<RefreshCall> refreshes_;
  std::vector<Answer> answers_;
  std::vector<std::shared_ptr<FakeTimerState>> timers_;
};

TEST(RefreshDelayTest, AMinuteBeforeExpiryButNotSoonerThanTenSeconds) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min(), kMax = -(kMin + 1);
  for (const auto& [expires_in, delay] : std::initializer_list<std::pair<int32_t, int64_t>>{
           {3600, 3540}, {71, 11}, {70, 10}, {0, 10}, {kMin, 10}, {kMax, int64_t{kMax} - 60}}) {
    EXPECT_EQ(RefreshDelay(expires_in), std::chrono::seconds(delay)) << expires_in;
  }
}

TEST_F(AccessTokenCacheTest, ConcurrentCallersShareOneRequestAndExpiredTokensAreRenewed) {
  Get("acct", "s", 1, /*context=*/7);
  Get("acct", "s", 2);
  Succeed(0, "old", 120);
  // Later callers, by credentials or by key, are answered from the cache at once;
  // a callback may ask the cache again (it runs without the cache's lock held).
  cache_->Get("acct", Secret{"s"}, 0, [this](const std::string& token, const error_code&) {
    EXPECT_TRUE(GetByKey("acct", "s", 4));
    answers_.push_back(Token(3, token));
  });
  ASSERT_EQ(timers_.size(), 1u);
  EXPECT_EQ(timers_[0]->expiries.back(), std::chrono::seconds(60));
  Expire(0);
  ASSERT_EQ(refreshes_.size(), 2u);
  EXPECT_EQ(refreshes_[1].asked, "acct/s/7");  // the context of the refresh that set the timer
  // The old token is not handed out any more; a failed renewal answers the
  // waiter and keeps the proven entry for the next caller.
  Get("acct", "s", 5);
  Fail(1);
  ASSERT_TRUE(GetByKey("acct", "s", 6, 5));
  EXPECT_TRUE(GetByKey("acct", "s", 7, 5));  // waits for the same request
  ASSERT_EQ(refreshes_.size(), 3u);
  EXPECT_EQ(refreshes_[2].asked, "acct/s/5");
  Succeed(2, "new");
  EXPECT_EQ(answers_, (std::vector<Answer>{Token(1, "old"), Token(2, "old"), Token(4, "old"),
                                           Token(3, "old"), Unreachable(5), Token(6, "new"),
                                           Token(7, "new")}));
  EXPECT_EQ(timers_[0]->expiries.back(), std::chrono::seconds(3540));
  EXPECT_FALSE(GetByKey("acct", "other", 8));
}

TEST_F(AccessTokenCacheTest, OnlyCredentialsThatObtainATokenAreKeptUntilTheTokenIsRejected) {
  Get("acct", "s", 1);
  Get("acct", "s", 2);
  Fail(0);
  EXPECT_EQ(cache_->size(), 0u);
  EXPECT_FALSE(GetByKey("acct", "s", 3));
  // A store's refusal is a wrong authentication key; the next caller tries again.
  Get("acct", "s", 4);
  Refuse(1);
  EXPECT_EQ(cache_->size(), 0u);
  Obtain("acct", "s", 5, "tok");
  EXPECT_EQ(cache_->size(), 1u);
  const AccessTokenKey key = Cache::KeyOf("acct", Secret{"s"});
  cache_->Invalidate(key, "tok");
  EXPECT_FALSE(timers_.back()->pending);
  ASSERT_TRUE(GetByKey("acct", "s", 6));
  Succeed(3, "fresh");
  // A late rejection of the old token keeps the fresh one.
  cache_->Invalidate(key, "tok");
  ASSERT_TRUE(GetByKey("acct", "s", 7));
  EXPECT_EQ(refreshes_.size(), 4u);
  EXPECT_EQ(answers_, (std::vector<Answer>{Unreachable(1), Unreachable(2), Refused(4),
                                           Token(5, "tok"), Token(6, "fresh"), Token(7, "fresh")}));
}

TEST_F(AccessTokenCacheTest, OtherCredentialsForTheAccountNeverReachOrDisturbTheOwnersEntry) {
  Obtain("acct", "owner", 1, "owner-tok");
  // An intruder names the account with a secret of its own: a request of its
  // own, answered to it alone; the owner's token and timer stay.
  Get("acct", "guess", 2);
  ASSERT_EQ(refreshes_.size(), 2u);
  EXPECT_EQ(refreshes_[1].asked, "acct/guess/0");
  Get("acct", "owner", 3);
  Refuse(1);
  EXPECT_TRUE(timers_[0]->pending);
  EXPECT_EQ(cache_->size(), 1u);
  // Across the owner's renewal: requests in flight for both, each answered
  // with its own outcome whatever the order.
  Expire(0);
  Get("acct", "owner", 4);
  Get("acct", "guess", 5);
  ASSERT_EQ(refreshes_.size(), 4u);
  EXPECT_EQ(refreshes_[2].asked + " " + refreshes_[3].asked, "acct/owner/0 acct/guess/0");
  Refuse(3);
  Succeed(2, "owner-tok-2");
  // A stray answer (late or repeated) changes nothing.
  Succeed(3, "stolen");
  Refuse(2);
  Get("acct", "owner", 6);
  EXPECT_EQ(answers_, (std::vector<Answer>{Token(1, "owner-tok"), Token(3, "owner-tok"),
                                           Refused(2), Refused(5), Token(4, "owner-tok-2"),
                                           Token(6, "owner-tok-2")}));
}

TEST_F(AccessTokenCacheTest, EntriesUnusedForADayAreDroppedAndShutdownForgetsTheRest) {
  Obtain("used", "s", 1, "tok-used");
  Obtain("unused", "s", 2, "tok-unused");
  Obtain("failing", "s", 3, "tok-failing");
  Expire(2);
  Fail(3);  // no timer left to find it
  // Renewals keep a token fresh, but only use keeps the entry.
  now_ += 23 * kHour;
  ASSERT_TRUE(GetByKey("used", "s", 4));
  now_ += 2 * kHour;
  Expire(0);
  Expire(1);
  ASSERT_EQ(refreshes_.size(), 5u);  // "used" only
  Succeed(4, "tok-used-2");
  ASSERT_TRUE(GetByKey("used", "s", 5));
  EXPECT_EQ(cache_->size(), 1u);  // "used" only
  Get("b", "s", 7);  // in flight at shutdown
  cache_->Shutdown();
  EXPECT_FALSE(timers_[0]->pending);
  EXPECT_EQ(cache_->size(), 0u);
  // Late events for forgotten accounts change nothing; callers are answered.
  Succeed(5, "tok-b");
  Expire(0);
  EXPECT_EQ(refreshes_.size(), 6u);
  EXPECT_FALSE(GetByKey("used", "s", 8));
  Get("used", "s", 9);
  const error_code stopped = MakeBillerError(kServiceProviderCommunicationError);
  EXPECT_EQ(std::vector(answers_.end() - 3, answers_.end()),
            (std::vector<Answer>{Token(5, "tok-used-2"), {7, "", stopped}, {9, "", stopped}}));
}

TEST(ReadAccessTokenAnswerTest, SortsAnswersIntoTokensRefusalsAndFailures) {
  using T = http::TransportCode;
  const std::string unreachable = MakeCommonError(kHttpRequestFailure).message() + " 0 0 ";
  const std::string bad = MakeBillerError(kServiceProviderProtocolError).message() + " 0 0 ";
  const std::tuple<T, int, std::string, std::string> kRows[] = {  // error, code, lifetime, token
      {T::kOk, 200, R"({"access_token":"t","expires_in":3599})", "ok 0 3599 t"},
      // Saturated, never wrapped into a negative lifetime.
      {T::kOk, 200, R"({"access_token":"t","expires_in":8589934592})", "ok 0 2147483647 t"},
      {T::kOk, 400, R"({"error":"invalid_grant"})", "ok 1 0 "}, {T::kOk, 302, "", "ok 1 0 "},
      {T::kOk, 500, "", unreachable}, {T::kCouldNotConnect, 0, "", unreachable},
      {T::kTimedOut, 200, R"({"access_token":"t","expires_in":1})", unreachable},
      {T::kOk, 200, "not json", bad}, {T::kOk, 200, "[]", bad},
      {T::kOk, 200, R"({"expires_in":3600})", bad}, {T::kOk, 200, R"({"access_token":"t"})", bad},
      {T::kOk, 200, R"({"access_token":"","expires_in":1})", bad},
      {T::kOk, 200, R"({"access_token":7,"expires_in":1})", bad},
      {T::kOk, 200, R"({"access_token":"t","expires_in":"3600"})", bad},
      {T::kOk, 200, R"({"access_token":"t","expires_in":1.5})", bad},
  };
  for (const auto& [transport, status, body, expected] : kRows) {
    AccessTokenResponse out;
    const error_code ec =
        ReadAccessTokenAnswer(transport, http::Response{status, body}, kTexts, &out);
    EXPECT_EQ((ec ? ec.message() : "ok") + " " + std::to_string(out.code) + " " +
                  std::to_string(out.expires_in) + " " + out.access_token, expected) << body;
  }
}

}  // namespace
}  // namespace tvx::testing
