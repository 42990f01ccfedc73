// What the host program does for its operators around the module: version and
// help texts, the database password file, systemd notifications, log reopening
// on SIGHUP, and start-up failures reported as one line rather than a crash.
#ifndef FRAMEWORK_HOST_OPERATIONS_H_
#define FRAMEWORK_HOST_OPERATIONS_H_

#include <string>
#include <utility>
#include <vector>

namespace tvx::host {

// "biller-server <version>".
std::string VersionLine();

// The flags' help: those defined in the files whose path contains one of
// `first_paths` first (in that order), then all others (glog's, gflags'),
// each as gflags prints them.
std::string HelpText(const std::string& usage, const std::vector<std::string>& first_paths);

// The first line of the file, without its line end. False, with the reason
// in `error`, when it cannot be read.
bool ReadFirstLine(const std::string& path, std::string* line, std::string* error);

// Until EndStartup, a fatal log line ends the process at once with status 1,
// after the line and without a stack trace: a start-up condition that cannot
// be met is the operator's to fix, not a crash. A fatal line that begins with
// the first text of a hint is followed by the line "biller-server: " and the
// hint's second text. Afterwards fatal logs are glog's again.
void BeginStartup(std::vector<std::pair<std::string, std::string>> hints);
void EndStartup();

// systemd's notification socket (no-ops when not run by systemd).
void NotifyReady();
void NotifyStopping();

// SIGHUP: the activity logs are opened again (after a rotation moved them).
void ReopenLogFiles();

}  // namespace tvx::host

#endif  // FRAMEWORK_HOST_OPERATIONS_H_
