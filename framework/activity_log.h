// Activity logs: structured, append-only records that downstream analytics
// read. A log is registered once with its schema; LogActivity appends one
// record as one JSON line to <--activity_log_dir>/<name>.jsonl, its fields in
// schema order, text columns as JSON strings and integer columns as JSON
// integers. A line is written whole or not at all. Thread-safe.
#ifndef FRAMEWORK_ACTIVITY_LOG_H_
#define FRAMEWORK_ACTIVITY_LOG_H_

#include <string>
#include <vector>

namespace tvx {

enum class ActivityColumnType : int {
  kInt32 = 3,
  kInt64 = 4,
  kText = 5,
};

// Registers a log at static initialisation. A second registration of the same
// name is ignored with an error line.
class LoggerRegistryHelper {
 public:
  LoggerRegistryHelper(const std::string& name, const std::string& schema,
                       const std::vector<std::string>& field_names,
                       const std::vector<ActivityColumnType>& column_types,
                       const std::vector<bool>& flags);
};

// Appends one record; `values` are the fields' texts in schema order.
// False (and an error line) when the log is unknown, the values do not fit the
// schema, or the file cannot be written.
bool LogActivity(const std::string& name, const std::vector<std::string>& values);

// Makes every log open its file again before its next line (after a
// rotation moved the files away). Thread-safe.
void ReopenActivityLogs();

// The folder the logs are written to (for tests; default --activity_log_dir).
void SetActivityLogDirForTesting(const std::string& dir);

}  // namespace tvx

#endif  // FRAMEWORK_ACTIVITY_LOG_H_
