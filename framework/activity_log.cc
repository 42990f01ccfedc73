#include "framework/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>
#include <glog/logging.h>

#include "framework/framework_flags.h"

namespace tvx {
namespace {

struct ActivityLog {
  std::vector<std::string> field_names;
  std::vector<ActivityColumnType> column_types;
  std::mutex mutex;  // serialises appends so that lines never interleave
  // The open file, kept between appends (GUARDED_BY(mutex)). It is opened
  // again at most a second later, so a log moved away by rotation is
  // followed by a new file, and at once when the folder changes or the file
  // was deleted.
  int fd = -1;
  std::string path;
  std::chrono::steady_clock::time_point opened_at;

  ~ActivityLog() {
    if (fd >= 0) ::close(fd);
  }
};

constexpr auto kReopenInterval = std::chrono::seconds(1);

std::mutex registry_mutex;
// Function-local so that registration at static initialisation in another
// translation unit finds it constructed.
std::map<std::string, std::shared_ptr<ActivityLog>>& Registry() {
  static std::map<std::string, std::shared_ptr<ActivityLog>> registry;
  return registry;
}
std::string& DirOverride() {
  static std::string dir;
  return dir;
}

std::shared_ptr<ActivityLog> Find(const std::string& name) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  auto it = Registry().find(name);
  return it == Registry().end() ? nullptr : it->second;
}

std::string LogDir() {
  std::lock_guard<std::mutex> lock(registry_mutex);
  return DirOverride().empty() ? FLAGS_activity_log_dir : DirOverride();
}

// The log's file descriptor for `dir`, opened (and the folder made) when
// there is none, the folder changed or the last open is a second old.
int OpenFor(ActivityLog* log, const std::string& dir, const std::string& name) {
  const std::string path = dir + "/" + name + ".jsonl";
  const auto now = std::chrono::steady_clock::now();
  // A file deleted under the log (no links left) would swallow the lines.
  struct stat status;
  if (log->fd >= 0 && log->path == path && now - log->opened_at < kReopenInterval &&
      ::fstat(log->fd, &status) == 0 && status.st_nlink > 0) {
    return log->fd;
  }
  if (log->fd >= 0) ::close(log->fd);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  log->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  log->path = path;
  log->opened_at = now;
  return log->fd;
}

// Appends `line` with one write; a short write is undone so that readers
// never see half a record. Appends of one log are serialised by its mutex,
// so the bytes of a short write are the file's last ones.
bool AppendWhole(int fd, const std::string& line) {
  if (fd < 0) return false;
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written == static_cast<ssize_t>(line.size())) return true;
  const int error = errno;
  struct stat after;
  if (written > 0 && ::fstat(fd, &after) == 0) {
    if (::ftruncate(fd, after.st_size - written) != 0) {
      LOG(ERROR) << "LogActivity: cannot undo a short write: " << std::strerror(errno);
    }
  }
  errno = written >= 0 ? EIO : error;
  return false;
}

}  // namespace

LoggerRegistryHelper::LoggerRegistryHelper(const std::string& name, const std::string& schema,
                                           const std::vector<std::string>& field_names,
                                           const std::vector<ActivityColumnType>& column_types,
                                           const std::vector<bool>& flags) {
  (void)schema;  // the field names and types carry what the writer needs
  (void)flags;
  auto log = std::make_shared<ActivityLog>();
  log->field_names = field_names;
  log->column_types = column_types;
  std::lock_guard<std::mutex> lock(registry_mutex);
  if (field_names.size() != column_types.size() || !Registry().emplace(name, log).second) {
    LOG(ERROR) << "LoggerRegistryHelper: cannot register activity log " << name;
  }
}

bool LogActivity(const std::string& name, const std::vector<std::string>& values) {
  auto log = Find(name);
  if (!log) {
    LOG(ERROR) << "LogActivity: unknown activity log " << name;
    return false;
  }
  if (values.size() != log->field_names.size()) {
    LOG(ERROR) << "LogActivity: " << name << " takes " << log->field_names.size()
               << " values, got " << values.size();
    return false;
  }
  boost::json::object record;
  for (size_t i = 0; i < values.size(); ++i) {
    if (log->column_types[i] == ActivityColumnType::kText) {
      record[log->field_names[i]] = values[i];
      continue;
    }
    int64_t number = 0;
    const char* end = values[i].data() + values[i].size();
    auto [ptr, ec] = std::from_chars(values[i].data(), end, number);
    if (ec != std::errc() || ptr != end) {
      LOG(ERROR) << "LogActivity: " << name << "." << log->field_names[i]
                 << " is not an integer: " << values[i];
      return false;
    }
    record[log->field_names[i]] = number;
  }
  const std::string line = boost::json::serialize(record) + "\n";
  const std::string dir = LogDir();
  std::lock_guard<std::mutex> lock(log->mutex);
  if (!AppendWhole(OpenFor(log.get(), dir, name), line)) {
    LOG(ERROR) << "LogActivity: cannot append to " << log->path << ": " << std::strerror(errno);
    // Open afresh next time: the folder may have come back.
    if (log->fd >= 0) ::close(log->fd);
    log->fd = -1;
    return false;
  }
  return true;
}

void ReopenActivityLogs() {
  std::vector<std::shared_ptr<ActivityLog>> logs;
  {
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (const auto& [name, log] : Registry()) logs.push_back(log);
  }
  for (const auto& log : logs) {
    std::lock_guard<std::mutex> lock(log->mutex);
    log->opened_at = {};  // the next line opens the file again
  }
}

void SetActivityLogDirForTesting(const std::string& dir) {
  std::lock_guard<std::mutex> lock(registry_mutex);
  DirOverride() = dir;
}

}  // namespace tvx
