// Named event-loop groups. Each group is one io_context run by a fixed number
// of threads; every server handler, timer and posted completion of the biller
// runs on the group it was created with.
#ifndef FRAMEWORK_IO_SERVICE_H_
#define FRAMEWORK_IO_SERVICE_H_

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

namespace tvx {

using IoContext = boost::asio::io_context;

class IoService {
 public:
  // The io context of the named group, or null when no such group runs.
  // Thread-safe.
  static std::shared_ptr<IoContext> GetIoGroup(const std::string& name);

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
