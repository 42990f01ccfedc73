// The rules every store adapter applies to its HTTP exchanges: which
// failures are worth another attempt, how a store's answer appears in a log
// line, and how a client's text becomes one segment of a store's address.
#ifndef SRC_STORE_HTTP_H_
#define SRC_STORE_HTTP_H_

#include <cstddef>
#include <string>

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

}  // namespace tvx

#endif  // SRC_STORE_HTTP_H_
