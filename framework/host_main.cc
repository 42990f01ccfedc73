// biller-server: the host program. Parses the command line, starts the io
// group "default", reads the install arguments, installs the module and runs
// until SIGINT, SIGTERM or a shut-down request; then uninstalls and exits 0.
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <gflags/gflags.h>
#include <glog/logging.h>

#include "build_paths.h"
#include "framework/api_service.h"
#include "framework/engine.h"
#include "framework/framework_flags.h"
#include "framework/io_service.h"
#include "framework/tcp.h"
#include "src/billing_service.h"

namespace {

// The folder holding sql/sql_initialize_schema.sql: the flag, else the
// install's share folder next to the binary, else the source tree.
std::string FindResourceRoot(const char* argv0) {
  namespace fs = std::filesystem;
  if (!FLAGS_resource_root.empty()) return FLAGS_resource_root;
  std::error_code ec;
  fs::path exe = fs::canonical("/proc/self/exe", ec);
  if (ec) exe = fs::absolute(argv0, ec);
  for (fs::path candidate : {exe.parent_path() / "../share/biller", exe.parent_path()}) {
    if (fs::exists(candidate / "sql/sql_initialize_schema.sql", ec)) {
      return fs::weakly_canonical(candidate, ec).string();
    }
  }
  return BILLER_SOURCE_DIR;
}

}  // namespace

int main(int argc, char** argv) {
  // Logs go to standard error unless told otherwise (--logtostderr=false
  // restores glog's log files).
  FLAGS_logtostderr = true;
  gflags::SetUsageMessage("receipt-validation server");
  gflags::ParseCommandLineFlags(&argc, &argv, true);
  // glog works out the UTC offset of every line with mktime, and without TZ
  // glibc stats /etc/localtime on each call: two system calls per log line
  // on the request path. A TZ naming the same file is read once.
  setenv("TZ", ":/etc/localtime", 0);
  tzset();
  google::InitGoogleLogging(argv[0]);
  if (std::string flag_error; !tvx::CheckFlagValues(&flag_error)) {
    LOG(ERROR) << "biller-server: " << flag_error;
    return 2;
  }

  tvx::ArgumentMap arguments;
  if (!FLAGS_arguments_file.empty()) {
    std::string error;
    if (!arguments.LoadFromFile(FLAGS_arguments_file, &error)) {
      LOG(ERROR) << "biller-server: " << error;
      return 2;
    }
  }
  tvx::SetResRoot(FindResourceRoot(argv[0]));
  if (FLAGS_tcp_max_message_bytes > 0) {
    tvx::TcpTransport::SetMaxMessageBytes(static_cast<uint32_t>(FLAGS_tcp_max_message_bytes));
  }

  // Signals are waited for by the main thread alone.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  int threads = FLAGS_io_threads > 0 ? FLAGS_io_threads
                                     : static_cast<int>(std::thread::hardware_concurrency());
  if (threads < 1) threads = 1;
  tvx::IoService::CreateIoGroup("default", threads);

  boost::asio::io_context main_loop;
  boost::asio::signal_set stop_signals(main_loop, SIGINT, SIGTERM);
  stop_signals.async_wait([&](const boost::system::error_code& ec, int signal) {
    if (!ec) LOG(INFO) << "biller-server: signal " << signal << ", shutting down";
    main_loop.stop();
  });
  tvx::SetShutDownEngineHandler([&main_loop] {
    boost::asio::post(main_loop, [&main_loop] { main_loop.stop(); });
  });
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);

  // The api service is up before install so that the module's counters are
  // readable from the moment they are registered.
  if (FLAGS_api_service_port != 0 &&
      (FLAGS_api_service_port < 0 || FLAGS_api_service_port > 65535 ||
       !tvx::ApiService::Start("default", static_cast<uint16_t>(FLAGS_api_service_port),
                               FLAGS_api_service_bind_address))) {
    LOG(ERROR) << "biller-server: cannot start the api service on port "
               << FLAGS_api_service_port;
    tvx::IoService::DestroyAll();
    return 1;
  }

  if (!TalvexBillerServer_install(arguments)) {
    LOG(ERROR) << "biller-server: install failed";
    tvx::ApiService::Stop();
    tvx::IoService::DestroyAll();
    return 1;
  }

  main_loop.run();

  TalvexBillerServer_uninstall();
  tvx::ApiService::Stop();
  tvx::SetShutDownEngineHandler(nullptr);
  tvx::IoService::DestroyAll();
  google::ShutdownGoogleLogging();
  return 0;
}
