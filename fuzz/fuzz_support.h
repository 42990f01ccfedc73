// Shared pieces of the fuzz targets: quiet logs, a check that fails as a
// crash, and the line-oriented input most targets read, so that seed files
// stay readable: "<line>\n<line>\n...<the rest>".
#ifndef FUZZ_FUZZ_SUPPORT_H_
#define FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "framework/http_client.h"

// Fails the run (a crash to libFuzzer) when a property does not hold.
#define FUZZ_CHECK(condition)                                                    \
  do {                                                                           \
    if (!(condition)) {                                                          \
      std::fprintf(stderr, "%s:%d: FUZZ_CHECK failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                                  \
      std::abort();                                                              \
    }                                                                            \
  } while (false)

namespace tvx::fuzz {

// Log lines are still composed (what they print is code under test) but not
// written; a fatal line still ends the run, and is a finding.
inline void QuietLogs() {
  FLAGS_minloglevel = google::GLOG_FATAL;
  FLAGS_logtostderr = true;
}

// Reads an input line by line; whatever follows the last line asked for is
// the rest.
class Lines {
 public:
  Lines(const uint8_t* data, size_t size)
      : text_(reinterpret_cast<const char*>(data), size) {}

  // The next line without its "\n"; the rest of the input when no line end
  // is left.
  std::string Next() {
    const size_t end = text_.find('\n');
    std::string line(text_.substr(0, end));
    text_ = end == std::string_view::npos ? std::string_view() : text_.substr(end + 1);
    return line;
  }
  std::string Rest() const { return std::string(text_); }

 private:
  std::string_view text_;
};

// A store's answer from a line "<status>": a number is the HTTP status of a
// complete answer; anything else is a transport failure.
inline http::TransportCode ReadStatus(const std::string& line, http::Response* response) {
  int status = 0;
  for (char c : line) {
    if (c < '0' || c > '9' || status > 999) return http::TransportCode::kCouldNotConnect;
    status = status * 10 + (c - '0');
  }
  if (line.empty()) return http::TransportCode::kTimedOut;
  response->status_code = status;
  return http::TransportCode::kOk;
}

}  // namespace tvx::fuzz

#endif  // FUZZ_FUZZ_SUPPORT_H_
