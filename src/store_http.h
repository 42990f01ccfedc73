// The rules every store adapter applies to its HTTP exchanges: which
// failures are worth another attempt, how a store's answer appears in a log
// line, and how a client's text becomes one segment of a store's address.
#ifndef SRC_STORE_HTTP_H_
#define SRC_STORE_HTTP_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "framework/http_client.h"

namespace tvx {

// True when the store could not be reached or failed on its side (status
// 500 to 599): the answer says nothing about the receipt, and the flow may
// ask again. Any other status is the store's word on the receipt.
bool IsRetryable(http::TransportCode transport, int status_code);

// The longest store body a log line carries.
inline constexpr size_t kMaxLoggedBodyBytes = 2048;

// `body` as a log line carries it: whole up to kMaxLoggedBodyBytes, else its
// beginning followed by "...(<size> bytes)".
std::string ForLog(const std::string& body);

// `text` as one path segment of a store's address: percent-encoded, and "."
// and ".." encoded too, so that an id can never step up the path.
std::string UrlPathSegment(const std::string& text);

// How a store reached with an access token answered a purchase query,
// before its body is read.
enum class QueryStatus {
  kUnreachable,    // IsRetryable: logged as an error with `tag`
  kRefused,        // not 200: the store's word against the receipt, logged
  kTokenRejected,  // 401: the store refused the access token, logged
  kAnswered,       // 200: the body is to be read
};
// `body` is the answer's ForLog text; `store` names the store in the lines
// ("Google Play").
QueryStatus ReadQueryStatus(const char* tag, const char* store, http::TransportCode transport,
                            const http::Response& response, const std::string& body);

// Logs `why` and the answer's ForLog `body` as an invalid answer of `store`
// and returns the biller error kServiceProviderProtocolError.
boost::system::error_code MalformedAnswer(const char* tag, const char* store,
                                          const std::string& why, const std::string& body);

// An HTTP completion that reads the answer with `read` and hands `done` its
// error and the answer (a default one with an error). `keep` lives until
// then: the request object that sent the request.
template <typename Answer>
std::function<void(http::TransportCode, const http::Response&)> ReadThen(
    std::shared_ptr<const void> keep,
    std::function<boost::system::error_code(http::TransportCode, const http::Response&, Answer*)>
        read,
    std::function<void(const boost::system::error_code&, const Answer&)> done) {
  return [keep = std::move(keep), read = std::move(read), done = std::move(done)](
             http::TransportCode transport, const http::Response& response) {
    Answer answer;
    const boost::system::error_code ec = read(transport, response, &answer);
    if (ec) {
      done(ec, Answer());
    } else {
      done(ec, answer);  // by reference: `ec ? Answer() : answer` would copy it
    }
  };
}

}  // namespace tvx

#endif  // SRC_STORE_HTTP_H_
