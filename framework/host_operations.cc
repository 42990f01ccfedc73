#include "framework/host_operations.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "framework/activity_log.h"
#include "framework/version.h"

namespace tvx::host {
namespace {

// Ends the process on a fatal line, after glog has written it.
class StartupFailureSink : public google::LogSink {
 public:
  // Before the sink is added.
  void set_hints(std::vector<std::pair<std::string, std::string>> hints) {
    hints_ = std::move(hints);
  }

  void send(google::LogSeverity severity, const char*, const char*, int,
            const google::LogMessageTime&, const char* message, size_t size) override {
    if (severity < google::GLOG_FATAL) return;
    const std::string_view text(message, size);
    for (const auto& [start, hint] : hints_) {
      if (text.starts_with(start)) std::fprintf(stderr, "biller-server: %s\n", hint.c_str());
    }
    std::fflush(stderr);
    ::_exit(1);
  }

 private:
  std::vector<std::pair<std::string, std::string>> hints_;
};

StartupFailureSink startup_failure_sink;

std::string FlagHelp(const gflags::CommandLineFlagInfo& flag) {
  std::string text = "    --" + flag.name + " (" + flag.description + ") type: " + flag.type +
                     " default: ";
  text += flag.type == "string" ? "\"" + flag.default_value + "\"" : flag.default_value;
  return text + "\n";
}

}  // namespace

std::string VersionLine() { return std::string("biller-server ") + BillerVersion(); }

std::string HelpText(const std::string& usage, const std::vector<std::string>& first_paths) {
  std::vector<gflags::CommandLineFlagInfo> flags;
  gflags::GetAllFlags(&flags);
  // Group rank: the index of the first matching path, others last.
  auto rank = [&](const gflags::CommandLineFlagInfo& flag) {
    for (size_t i = 0; i < first_paths.size(); ++i) {
      if (flag.filename.find(first_paths[i]) != std::string::npos) return i;
    }
    return first_paths.size();
  };
  std::stable_sort(flags.begin(), flags.end(), [&](const auto& a, const auto& b) {
    return std::make_pair(rank(a), a.filename) < std::make_pair(rank(b), b.filename);
  });
  std::ostringstream out;
  out << usage << "\n";
  std::string file;
  for (const auto& flag : flags) {
    if (flag.filename != file) {
      file = flag.filename;
      out << "\n  Flags from " << file << ":\n";
    }
    out << FlagHelp(flag);
  }
  return out.str();
}

bool ReadFirstLine(const std::string& path, std::string* line, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  line->clear();
  std::getline(in, *line);
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

void BeginStartup(std::vector<std::pair<std::string, std::string>> hints) {
  startup_failure_sink.set_hints(std::move(hints));
  google::AddLogSink(&startup_failure_sink);
}

void EndStartup() { google::RemoveLogSink(&startup_failure_sink); }

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

void ReopenLogFiles() {
  ReopenActivityLogs();
  LOG(INFO) << "biller-server: SIGHUP, log files reopened";
}

}  // namespace tvx::host
