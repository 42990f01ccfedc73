// What may go into a log line. Client texts are written with their control
// characters escaped (a client cannot end a line and forge the next one) and
// cut at a bound; credentials are never written, only kRedacted in their
// place.
#ifndef SRC_LOG_TEXT_H_
#define SRC_LOG_TEXT_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

#include "framework/json.h"
#include "framework/player_account.h"

namespace tvx {

inline constexpr char kRedacted[] = "<redacted>";

// Streams `text` with '\\', '\n', '\r', '\t' and every other byte below 0x20
// or 0x7f written as an escape ("\\n", "\\x1b"), at most `max_bytes` of it,
// followed by "...(<size> bytes)" when cut.
struct LogText {
  explicit LogText(std::string_view text, size_t max_bytes = 1024)
      : text(text), max_bytes(max_bytes) {}
  std::string_view text;
  size_t max_bytes;
};
std::ostream& operator<<(std::ostream& os, const LogText& text);

// The escaped text as a string.
std::string ToLogText(std::string_view text, size_t max_bytes = 1024);

// A client's JSON object (a receipt) for a log line: its text with the
// members that hold credentials ("auth_code", "client_secret",
// "refresh_token", "private_key", "secret", "access_token") shown as
// kRedacted, escaped and cut as LogText does.
std::string JsonForLog(const Json& value, size_t max_bytes = 1024);

// A player account ("<provider>:<id>") as client text.
std::string AccountForLog(const PlayerAccount& account);

}  // namespace tvx

#endif  // SRC_LOG_TEXT_H_
