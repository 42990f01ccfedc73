// Collects the log lines written, on any thread, while it lives.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <glog/logging.h>

namespace tvx::testing {

class LogCapture : public google::LogSink {
 public:
  LogCapture() { google::AddLogSink(this); }
  ~LogCapture() override { google::RemoveLogSink(this); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void send(google::LogSeverity severity, const char*, const char*, int,
            const google::LogMessageTime&, const char* message, size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(severity, std::string(message, length));
  }

  // Lines of `severity` that contain `text`.
  int Count(google::LogSeverity severity, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::ranges::count_if(lines_, [&](const auto& line) {
      return line.first == severity && line.second.find(text) != std::string::npos;
    }));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<google::LogSeverity, std::string>> lines_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
