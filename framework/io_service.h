// Named event-loop groups. A group is a fixed number of threads, each running
// an io_context of its own; every server handler, timer and posted completion
// of the biller runs on the group it was created with. Work handed to a group
// from one of its own threads stays on that thread; work from elsewhere, and
// new connections, are spread over the threads in turn.
#ifndef FRAMEWORK_IO_SERVICE_H_
#define FRAMEWORK_IO_SERVICE_H_

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

namespace tvx {

using IoContext = boost::asio::io_context;

class IoService {
 public:
  // An io context of the named group, or null when no such group runs: the
  // calling thread's own when it is a thread of the group, else the next in
  // turn. Thread-safe.
  static std::shared_ptr<IoContext> GetIoGroup(const std::string& name);

  // The next io context of the group in turn, whoever calls: where a server
  // places a new connection. Null when no such group runs.
  static std::shared_ptr<IoContext> NextIoContext(const std::string& name);

  // Creates a group and starts `threads` threads running it. False when the
  // name is taken or `threads` is below 1. Called by the host at start-up
  // and by tests.
  static bool CreateIoGroup(const std::string& name, int threads);

  // Stops every group and joins its threads; pending handlers are dropped.
  // Must not be called from a group's own thread.
  static void DestroyAll();
};

}  // namespace tvx

#endif  // FRAMEWORK_IO_SERVICE_H_
