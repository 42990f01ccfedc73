// A store query made with an access token from a cache, each attempt with the
// token the cache holds then (a retry never reuses the token of an earlier
// attempt, which may have been renewed or revoked since). When the store
// rejects the token itself (401), the token is dropped from the cache and the
// query asked once more with a new one before the store's word is taken.
#ifndef SRC_TOKEN_QUERY_H_
#define SRC_TOKEN_QUERY_H_

#include <functional>
#include <string>

#include <boost/system/error_code.hpp>

#include "src/access_token_cache.h"

namespace tvx {

template <typename Answer>
struct TokenQuery {
  using Completion = std::function<void(const boost::system::error_code&, const Answer&)>;
  // The cache's token now.
  std::function<void(AccessTokenCallback)> get_token;
  // The store rejected this token.
  std::function<void(const std::string& access_token)> drop_token;
  // One query with a token.
  std::function<void(const std::string& access_token, Completion)> query;
  // True when the answer is the store's rejection of the token.
  std::function<bool(const Answer&)> token_rejected;
};

// Runs `q`: a token error completes `done` as a failed query would, with a
// default answer.
template <typename Answer>
void AskWithCachedToken(const TokenQuery<Answer>& q, typename TokenQuery<Answer>::Completion done,
                        bool renewed = false) {
  q.get_token([q, done = std::move(done), renewed](const std::string& token,
                                                   const boost::system::error_code& error) {
    if (error) {
      done(error, Answer());
      return;
    }
    q.query(token, [q, done, renewed, token](const boost::system::error_code& ec,
                                             const Answer& answer) {
      if (ec || renewed || !q.token_rejected(answer)) {
        done(ec, answer);
        return;
      }
      q.drop_token(token);
      AskWithCachedToken(q, done, true);
    });
  });
}

}  // namespace tvx

#endif  // SRC_TOKEN_QUERY_H_
