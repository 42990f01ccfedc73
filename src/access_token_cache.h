// The access-token cache shared by the Google Play and OneStore adapters: one
// entry per store account and set of credentials, at most one token request in
// flight per entry, callers queued while it runs and answered in call order,
// and a refresh timer per token that renews it a minute before it expires.
//
// An entry is named by the account and a keyed digest of its credentials, so
// credentials the store refuses live in an entry of their own: they never
// replace, reach or delay the entry of credentials the store accepted, and
// every caller is answered with the outcome of its own credentials. An entry
// whose credentials never obtained a token is dropped with that outcome; one
// that nobody asked for a day is dropped too.
//
// The cache never talks HTTP itself: it decides, and a Refresher supplied by
// the adapter sends the token request and reports its outcome through the
// completion it is handed. One mutex guards the entries; it is never held
// while a refresher or a caller's callback runs.
#ifndef SRC_ACCESS_TOKEN_CACHE_H_
#define SRC_ACCESS_TOKEN_CACHE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/system/error_code.hpp>
#include <glog/logging.h>

#include "framework/clock.h"
#include "framework/credential_crypto.h"
#include "framework/deadline_timer.h"
#include "framework/http_client.h"
#include "framework/io_service.h"
#include "src/access_token_key.h"
#include "src/billing_error.h"
#include "src/log_text.h"

namespace tvx {

// The outcome of one token request.
struct AccessTokenResponse {
  enum Code : int32_t {
    kSuccess = 0,
    kFailure = 1,  // the store refused: an HTTP status other than 200
  };
  int32_t code = kSuccess;
  int32_t expires_in = 0;  // seconds
  std::string access_token;
};

// Callers of the cache get the token, or an empty text and the error.
using AccessTokenCallback =
    std::function<void(const std::string& access_token, const boost::system::error_code&)>;
// Completion of one token request. When the error is set the response is a
// default one and means nothing.
using AccessTokenCompletion =
    std::function<void(const boost::system::error_code&, const AccessTokenResponse&)>;

// The store-specific words of the cache's log lines.
struct TokenCacheTexts {
  const char* tag;     // "[Google PlayStore] "
  const char* api;     // "Google API": "Refreshing Google API access token"
  const char* store;   // "Google Play": "Authenticating with Google Play was not successful"
  const char* server;  // "Google": "The message from Google server"
};

// Reads a token endpoint's answer: a transport failure or a 5xx status is
// the common error kHttpRequestFailure; any other status but 200 is success
// with code kFailure; a 200 whose body is not an object with a non-empty
// string "access_token" and an integer "expires_in" is the biller error
// kServiceProviderProtocolError.
boost::system::error_code ReadAccessTokenAnswer(http::TransportCode transport,
                                                const http::Response& response,
                                                const TokenCacheTexts& texts,
                                                AccessTokenResponse* out);

// How long before a token of `expires_in` seconds is renewed: a minute before
// it expires, but never sooner than in 10 seconds.
std::chrono::seconds RefreshDelay(int32_t expires_in);

// Credentials: what proves the account; `DigestInput()` must encode every
// field unambiguously. Context: what travels with one request without being
// part of the account (OneStore's test-server flag).
template <typename Credentials, typename Context>
class AccessTokenCache
    : public std::enable_shared_from_this<AccessTokenCache<Credentials, Context>> {
 public:
  enum State : int32_t {
    kIdle = 0,        // no usable token: a renewal failed or a token was rejected
    kRefreshing = 1,  // a token request is in flight
    kReady = 2,       // access_token is valid
  };

  // An entry nobody asked for this long is dropped.
  static constexpr int64_t kUnusedLifetimeMicros = int64_t{24} * 3600 * 1000 * 1000;

  // Sends one token request for the account; `done` must run exactly once
  // with its outcome, on any thread.
  using Refresher =
      std::function<void(const std::shared_ptr<IoContext>& io, const std::string& account,
                         const Credentials& credentials, const Context& context,
                         AccessTokenCompletion done)>;
  using TimerFactory =
      std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)>;
  using Clock = std::function<int64_t()>;  // microseconds, monotonic

  AccessTokenCache(const TokenCacheTexts& texts, Refresher refresher)
      : texts_(texts),
        refresher_(std::move(refresher)),
        timer_factory_(&DeadlineTimer::Create),
        clock_(&MonotonicClock::Now) {}

  // The io context that runs the refresh timers and is handed to the
  // refresher. Until it is set, and after Shutdown, callers are answered
  // with kServiceProviderCommunicationError.
  void SetIoService(std::shared_ptr<IoContext> io) {
    std::lock_guard<std::mutex> lock(mutex_);
    io_ = std::move(io);
  }

  // Timers of entries made from now on, and the clock (tests).
  void SetTimerFactory(TimerFactory factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    timer_factory_ = std::move(factory);
  }
  void SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = std::move(clock);
  }

  // Cancels every refresh timer, forgets every entry and releases the io
  // context; callers still waiting are answered with
  // kServiceProviderCommunicationError.
  void Shutdown() {
    std::vector<AccessTokenCallback> waiting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto& [key, entry] : tokens_) {
        entry.refresh_timer->Cancel();
        for (auto& handler : entry.handlers) waiting.push_back(std::move(handler));
      }
      tokens_.clear();
      io_.reset();
    }
    for (auto& handler : waiting) handler(std::string(), Stopped());
  }

  static AccessTokenKey KeyOf(const std::string& account, const Credentials& credentials) {
    return AccessTokenKey{account, crypto::KeyedDigest(credentials.DigestInput())};
  }

  // Delivers a token for the account and these credentials through
  // `callback`, now or later: from the entry when it holds a valid token,
  // else from a token request shared with every caller of the same entry.
  void Get(const std::string& account, const Credentials& credentials, const Context& context,
           AccessTokenCallback callback) {
    const AccessTokenKey key = KeyOf(account, credentials);
    Start start;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!io_) {
        start.stopped = true;
      } else {
        Sweep();
        auto [it, inserted] = tokens_.try_emplace(key);
        if (inserted) {
          it->second.credentials = credentials;
          it->second.refresh_timer = timer_factory_(io_);
        }
        start = Use(it, context, &callback);
      }
    }
    Finish(start, context, std::move(callback));
  }

  // As Get, for the entry `key` names, with its stored credentials. False,
  // and nothing done, when there is no such entry (never made, dropped, or
  // the cache is shut down).
  bool GetByKey(const AccessTokenKey& key, const Context& context, AccessTokenCallback callback) {
    Start start;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!io_) return false;
      Sweep();
      auto it = tokens_.find(key);
      if (it == tokens_.end()) return false;
      start = Use(it, context, &callback);
    }
    Finish(start, context, std::move(callback));
    return true;
  }

  // The store rejected `access_token` before it expired (revoked): the entry
  // stops handing it out, and its next caller obtains a new one. A token the
  // entry no longer holds changes nothing.
  void Invalidate(const AccessTokenKey& key, const std::string& access_token) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = tokens_.find(key);
    if (it == tokens_.end()) return;
    TokenEntry& entry = it->second;
    if (entry.state != kReady || entry.access_token != access_token) return;
    LOG(WARNING) << texts_.tag << texts_.api << " access token was rejected"
                 << ": client_id=" << LogText(key.account);
    entry.state = kIdle;
    entry.access_token.clear();
    entry.refresh_timer->Cancel();
  }

  // For tests and diagnostics.
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tokens_.size();
  }

 private:
  struct TokenEntry {
    State state = kIdle;
    Credentials credentials{};
    bool proven = false;  // the store issued a token for these credentials
    std::string access_token;
    int32_t expires_in = 0;
    uint64_t request_id = 0;  // the token request in flight, when kRefreshing
    int64_t last_used = 0;
    std::unique_ptr<DeadlineTimer> refresh_timer;
    std::vector<AccessTokenCallback> handlers;  // in call order
  };
  using Entries = std::map<AccessTokenKey, TokenEntry>;

  // What a call decided under the lock, done after it is released.
  struct Start {
    bool stopped = false;
    bool answer = false;  // from the entry: `token`
    std::string token;
    bool refresh = false;  // send a token request for `key`
    AccessTokenKey key;
    uint64_t request_id = 0;
    Credentials credentials{};
    std::shared_ptr<IoContext> io;
  };

  static boost::system::error_code Stopped() {
    return MakeBillerError(kServiceProviderCommunicationError);
  }

  // REQUIRES: mutex_ held.
  Start Use(typename Entries::iterator it, const Context& /*context*/,
            AccessTokenCallback* callback) {
    const AccessTokenKey& key = it->first;
    TokenEntry& entry = it->second;
    entry.last_used = clock_();
    Start start;
    switch (entry.state) {
      case kIdle:
        LOG(INFO) << texts_.tag << "Refreshing " << texts_.api << " access token"
                  << ": client_id=" << LogText(key.account);
        entry.handlers.push_back(std::move(*callback));
        start = BeginRefresh(it);
        break;
      case kRefreshing:
        LOG(INFO) << texts_.tag << "Waiting for refreshment of " << texts_.api << " access token"
                  << ": client_id=" << LogText(key.account);
        entry.handlers.push_back(std::move(*callback));
        break;
      case kReady:
        if (entry.access_token.empty()) LOG(FATAL) << "Assert failed: ! access_token.empty()";
        start.answer = true;
        start.token = entry.access_token;
        break;
    }
    return start;
  }

  // REQUIRES: mutex_ held.
  Start BeginRefresh(typename Entries::iterator it) {
    TokenEntry& entry = it->second;
    entry.state = kRefreshing;
    entry.request_id = ++last_request_id_;
    Start start;
    start.refresh = true;
    start.key = it->first;
    start.request_id = entry.request_id;
    start.credentials = entry.credentials;
    start.io = io_;
    return start;
  }

  void Finish(const Start& start, const Context& context, AccessTokenCallback callback) {
    if (start.stopped) {
      callback(std::string(), Stopped());
    } else if (start.answer) {
      callback(start.token, boost::system::error_code());
    } else if (start.refresh) {
      SendRefresh(start, context);
    }
  }

  void SendRefresh(const Start& start, const Context& context) {
    refresher_(start.io, start.key.account, start.credentials, context,
               [weak = this->weak_from_this(), key = start.key, id = start.request_id, context](
                   const boost::system::error_code& ec, const AccessTokenResponse& response) {
                 if (auto self = weak.lock()) self->OnRefreshed(key, id, context, ec, response);
               });
  }

  void OnRefreshed(const AccessTokenKey& key, uint64_t request_id, const Context& context,
                   const boost::system::error_code& error, const AccessTokenResponse& response) {
    boost::system::error_code failure;
    if (error) {
      LOG(WARNING) << texts_.tag << "Authenticating with " << texts_.store
                   << " was not successful: error=" << DescribeError(error);
      failure = error;
    } else if (response.code != AccessTokenResponse::kSuccess) {
      LOG(WARNING) << texts_.tag << "Authenticating with " << texts_.store
                   << " was not successful: code=" << response.code;
      failure = MakeBillerError(kWrongServiceProviderAuthKey);
    }

    std::vector<AccessTokenCallback> handlers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = tokens_.find(key);
      if (it == tokens_.end() || it->second.state != kRefreshing ||
          it->second.request_id != request_id) {
        LOG(WARNING) << texts_.tag << "Ignore the token answer of a forgotten request"
                     << ": client_id=" << LogText(key.account);
        return;
      }
      TokenEntry& entry = it->second;
      handlers.swap(entry.handlers);
      if (!failure) {
        LOG(INFO) << texts_.tag << "Succeed to refresh " << texts_.api << " access token"
                  << ": client_id=" << LogText(key.account)
                  << ", expires_in=" << response.expires_in;
        entry.state = kReady;
        entry.proven = true;
        entry.access_token = response.access_token;
        entry.expires_in = response.expires_in;
        const size_t cancelled = entry.refresh_timer->Cancel();
        if (cancelled > 0) {
          LOG(ERROR) << texts_.tag << "Failed to cancel a refresh timer: timer_cnt=" << cancelled;
        }
        entry.refresh_timer->ExpiresAfter(RefreshDelay(response.expires_in));
        entry.refresh_timer->AsyncWait(
            [weak = this->weak_from_this(), key, context](const boost::system::error_code& ec) {
              if (auto self = weak.lock()) self->OnRefreshTimerExpired(key, context, ec);
            });
      } else {
        LOG(WARNING) << texts_.tag << "Failed to refresh " << texts_.api << " access token"
                     << ": client_id=" << LogText(key.account);
        if (entry.proven) {
          entry.state = kIdle;  // the next caller tries again
        } else {
          tokens_.erase(it);  // credentials that never obtained a token are not kept
        }
      }
    }
    const std::string token = failure ? std::string() : response.access_token;
    for (auto& handler : handlers) handler(token, failure);
  }

  void OnRefreshTimerExpired(const AccessTokenKey& key, const Context& context,
                             const boost::system::error_code& ec) {
    LOG(INFO) << texts_.tag << texts_.store << " access token refresh timer just expired"
              << ": client_id=" << LogText(key.account);
    if (DeadlineTimer::IsAborted(ec)) {
      LOG(INFO) << texts_.tag << texts_.store << " access token refresh timer canceled"
                << ": client_id=" << LogText(key.account);
      return;
    }
    if (ec) {
      LOG(WARNING) << texts_.tag << "Something goes wrong in refresh timer: client_id="
                   << LogText(key.account) << ", ec=" << ec.category().name() << ":"
                   << ec.value();
      return;
    }
    Start start;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = tokens_.find(key);
      if (it == tokens_.end() || !io_) return;
      TokenEntry& entry = it->second;
      if (entry.state != kReady) {
        LOG(WARNING) << texts_.tag << "Ignore the token expiration";
        return;
      }
      if (!entry.handlers.empty()) LOG(FATAL) << "Assert failed: itr->second.handlers.size() == 0";
      if (clock_() - entry.last_used >= kUnusedLifetimeMicros) {
        LOG(INFO) << texts_.tag << "Forget an unused " << texts_.api << " access token"
                  << ": client_id=" << LogText(key.account);
        tokens_.erase(it);
        return;
      }
      // The old token stays stored, but callers now wait for the new one.
      start = BeginRefresh(it);
    }
    SendRefresh(start, context);
  }

  // Drops entries nobody asked for a day, at most once an hour: an entry
  // whose renewal failed has no timer to find it. REQUIRES: mutex_ held.
  void Sweep() {
    const int64_t now = clock_();
    if (now - last_sweep_ < kUnusedLifetimeMicros / 24) return;
    last_sweep_ = now;
    for (auto it = tokens_.begin(); it != tokens_.end();) {
      if (it->second.state != kRefreshing && now - it->second.last_used >= kUnusedLifetimeMicros) {
        it->second.refresh_timer->Cancel();
        it = tokens_.erase(it);
      } else {
        ++it;
      }
    }
  }

  const TokenCacheTexts texts_;
  const Refresher refresher_;

  mutable std::mutex mutex_;
  std::shared_ptr<IoContext> io_;  // GUARDED_BY(mutex_)
  TimerFactory timer_factory_;     // GUARDED_BY(mutex_)
  Clock clock_;                    // GUARDED_BY(mutex_)
  Entries tokens_;                 // GUARDED_BY(mutex_)
  uint64_t last_request_id_ = 0;   // GUARDED_BY(mutex_)
  int64_t last_sweep_ = 0;         // GUARDED_BY(mutex_)
};

}  // namespace tvx

#endif  // SRC_ACCESS_TOKEN_CACHE_H_
