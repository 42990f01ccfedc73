// The access-token cache shared by the Google Play and OneStore adapters: one
// entry per store account, at most one token request in flight per account,
// callers queued while it runs and answered in call order, a refresh timer
// per token that renews it a minute before it expires, and answers for
// outdated credentials discarded.
//
// The cache never talks HTTP itself: it decides, and a Refresher supplied by
// the adapter sends the token request, whose outcome comes back through
// OnRefreshed. One mutex guards the entries; it is never held while a
// refresher or a caller's callback runs.
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

#include "framework/deadline_timer.h"
#include "framework/http_client.h"
#include "framework/io_service.h"
#include "src/billing_error.h"

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

// Credentials: what proves the account, compared with == to tell whether a
// caller's account is the cached one. Context: what travels with one request
// without being part of the account (OneStore's test-server flag).
template <typename Credentials, typename Context>
class AccessTokenCache
    : public std::enable_shared_from_this<AccessTokenCache<Credentials, Context>> {
 public:
  enum State : int32_t {
    kIdle = 0,        // no usable token: a new entry, or the last refresh failed
    kRefreshing = 1,  // a token request is in flight
    kReady = 2,       // access_token is valid
  };

  // Sends one token request for `key`. Its outcome must reach OnRefreshed
  // exactly once, with the same key, credentials and context.
  using Refresher = std::function<void(const std::shared_ptr<IoContext>& io, const std::string& key,
                                       const Credentials& credentials, const Context& context)>;
  using TimerFactory =
      std::function<std::unique_ptr<DeadlineTimer>(const std::shared_ptr<IoContext>&)>;

  AccessTokenCache(const TokenCacheTexts& texts, Refresher refresher)
      : texts_(texts), refresher_(std::move(refresher)), timer_factory_(&DeadlineTimer::Create) {}

  // The io context that runs the refresh timers and is handed to the
  // refresher. Set before the first Get.
  void SetIoService(std::shared_ptr<IoContext> io) {
    std::lock_guard<std::mutex> lock(mutex_);
    io_ = std::move(io);
  }

  // Timers of entries made from now on (tests count and fire them by hand).
  void SetTimerFactory(TimerFactory factory) {
    std::lock_guard<std::mutex> lock(mutex_);
    timer_factory_ = std::move(factory);
  }

  // Cancels every refresh timer, forgets every entry (callers still waiting
  // are dropped unanswered) and releases the io context.
  void Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [key, entry] : tokens_) entry.refresh_timer->Cancel();
    tokens_.clear();
    io_.reset();
  }

  // Delivers a token for the account through `callback`, now or later: from
  // the cache when it holds a valid token for these credentials, else from a
  // token request, shared with every caller that arrives while it runs.
  // Credentials that differ from the cached ones start a new request whose
  // answer alone counts.
  void Get(const std::string& key, const Credentials& credentials, const Context& context,
           AccessTokenCallback callback) {
    std::shared_ptr<IoContext> io;
    std::string token;
    bool answer = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!io_) LOG(FATAL) << "Assert failed: the_io_service";
      io = io_;
      TokenEntry& entry = FindOrCreate(key);
      switch (entry.state) {
        case kIdle:
          LOG(INFO) << texts_.tag << "Refreshing " << texts_.api << " access token"
                    << ": client_id=" << key;
          entry.state = kRefreshing;
          entry.credentials = credentials;
          entry.handlers.push_back(std::move(callback));
          break;
        case kRefreshing:
          LOG(INFO) << texts_.tag << "Waiting for refreshment of " << texts_.api << " access token"
                    << ": client_id=" << key;
          entry.handlers.push_back(std::move(callback));
          if (entry.credentials == credentials) return;
          LogAccountChanged(key);
          LOG(INFO) << texts_.tag << "Refreshing " << texts_.api << " access token"
                    << ": client_id=" << key;
          entry.credentials = credentials;
          break;
        case kReady:
          if (entry.credentials == credentials) {
            if (entry.access_token.empty()) LOG(FATAL) << "Assert failed: ! access_token.empty()";
            token = entry.access_token;
            answer = true;
            break;
          }
          LogAccountChanged(key);
          LOG(INFO) << texts_.tag << "Refreshing " << texts_.api << " access token"
                    << ": client_id=" << key;
          entry.state = kRefreshing;
          entry.credentials = credentials;
          entry.handlers.push_back(std::move(callback));
          entry.refresh_timer->Cancel();
          break;
        default:
          LOG(FATAL) << "Unknown state=" << static_cast<int32_t>(entry.state);
      }
    }
    if (answer) {
      callback(token, boost::system::error_code());
    } else {
      refresher_(io, key, credentials, context);
    }
  }

  // As Get, for the account the cache already holds under `key`, with its
  // stored credentials. False, and nothing done, when there is no such
  // entry.
  bool GetByKey(const std::string& key, const Context& context, AccessTokenCallback callback) {
    std::shared_ptr<IoContext> io;
    Credentials credentials;
    std::string token;
    bool answer = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = tokens_.find(key);
      if (it == tokens_.end()) return false;
      TokenEntry& entry = it->second;
      io = io_;
      switch (entry.state) {
        case kIdle:
          LOG(INFO) << texts_.tag << "Refreshing " << texts_.api << " access token"
                    << ": client_id=" << key;
          entry.state = kRefreshing;
          entry.handlers.push_back(std::move(callback));
          credentials = entry.credentials;
          break;
        case kRefreshing:
          LOG(INFO) << texts_.tag << "Waiting for refreshment of " << texts_.api << " access token"
                    << ": client_id=" << key;
          entry.handlers.push_back(std::move(callback));
          return true;
        case kReady:
          if (entry.access_token.empty()) LOG(FATAL) << "Assert failed: ! access_token.empty()";
          token = entry.access_token;
          answer = true;
          break;
        default:
          LOG(FATAL) << "Unknown state=" << static_cast<int32_t>(entry.state);
      }
    }
    if (answer) {
      callback(token, boost::system::error_code());
    } else {
      refresher_(io, key, credentials, context);
    }
    return true;
  }

  // The outcome of a token request the cache started. An answer for
  // credentials that are no longer the entry's is discarded: the callers
  // wait for the request made with the current ones.
  void OnRefreshed(const std::string& key, const Credentials& credentials, const Context& context,
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
      if (it == tokens_.end()) {
        // Shut down while the request was in flight.
        LOG(WARNING) << texts_.tag << "Ignore the token answer of a forgotten account: client_id="
                     << key;
        return;
      }
      TokenEntry& entry = it->second;
      if (!(entry.credentials == credentials)) {
        LogAccountChanged(key);
        return;
      }
      handlers.swap(entry.handlers);
      if (!failure) {
        LOG(INFO) << texts_.tag << "Succeed to refresh " << texts_.api << " access token"
                  << ": client_id=" << key << ", expires_in=" << response.expires_in;
        VLOG(2) << texts_.tag << "refreshed access_token=" << response.access_token;
        entry.state = kReady;
        entry.access_token = response.access_token;
        entry.expires_in = response.expires_in;
        const size_t cancelled = entry.refresh_timer->Cancel();
        if (cancelled > 0) {
          LOG(ERROR) << texts_.tag << "Failed to cancel a refresh timer: timer_cnt=" << cancelled;
        }
        entry.refresh_timer->ExpiresAfter(RefreshDelay(response.expires_in));
        entry.refresh_timer->AsyncWait(
            [weak = this->weak_from_this(), key, credentials,
             context](const boost::system::error_code& ec) {
              if (auto self = weak.lock()) self->OnRefreshTimerExpired(key, credentials, context, ec);
            });
      } else {
        LOG(WARNING) << texts_.tag << "Failed to refresh " << texts_.api << " access token"
                     << ": client_id=" << key;
        entry.state = kIdle;
      }
    }
    const std::string token = failure ? std::string() : response.access_token;
    for (auto& handler : handlers) handler(token, failure);
  }

  // For tests and diagnostics.
  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tokens_.size();
  }

 private:
  struct TokenEntry {
    State state = kIdle;
    std::string client_id;
    Credentials credentials{};
    std::string access_token;
    int32_t expires_in = 0;
    std::unique_ptr<DeadlineTimer> refresh_timer;
    std::vector<AccessTokenCallback> handlers;  // in call order
  };

  // REQUIRES: mutex_ held.
  TokenEntry& FindOrCreate(const std::string& key) {
    auto [it, inserted] = tokens_.try_emplace(key);
    if (inserted) {
      it->second.client_id = key;
      it->second.refresh_timer = timer_factory_(io_);
    }
    return it->second;
  }

  void LogAccountChanged(const std::string& key) const {
    LOG(WARNING) << texts_.tag << texts_.api << " account info changed: client_id=" << key;
  }

  void OnRefreshTimerExpired(const std::string& key, const Credentials& credentials,
                             const Context& context, const boost::system::error_code& ec) {
    LOG(INFO) << texts_.tag << texts_.store << " access token refresh timer just expired"
              << ": client_id=" << key;
    if (DeadlineTimer::IsAborted(ec)) {
      LOG(INFO) << texts_.tag << texts_.store << " access token refresh timer canceled"
                << ": client_id=" << key;
      return;
    }
    if (ec) {
      LOG(WARNING) << texts_.tag << "Something goes wrong in refresh timer: client_id=" << key
                   << ", ec=" << ec.category().name() << ":" << ec.value();
      return;
    }
    std::shared_ptr<IoContext> io;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = tokens_.find(key);
      if (it == tokens_.end()) return;
      TokenEntry& entry = it->second;
      if (entry.state != kReady) {
        LOG(WARNING) << texts_.tag << "Ignore the token expiration";
        return;
      }
      if (!(entry.credentials == credentials)) {
        LogAccountChanged(key);
        return;
      }
      if (!entry.handlers.empty()) LOG(FATAL) << "Assert failed: itr->second.handlers.size() == 0";
      // The old token stays stored, but callers now wait for the new one.
      entry.state = kRefreshing;
      io = io_;
    }
    refresher_(io, key, credentials, context);
  }

  const TokenCacheTexts texts_;
  const Refresher refresher_;

  mutable std::mutex mutex_;
  std::shared_ptr<IoContext> io_;            // GUARDED_BY(mutex_)
  TimerFactory timer_factory_;               // GUARDED_BY(mutex_)
  std::map<std::string, TokenEntry> tokens_;  // GUARDED_BY(mutex_)
};

}  // namespace tvx

#endif  // SRC_ACCESS_TOKEN_CACHE_H_
