// biller-server: the host program. Parses the command line, starts the io
// group "default", reads the install arguments, installs the module and runs
// until SIGINT, SIGTERM or a shut-down request; then uninstalls and exits 0.
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <gflags/gflags.h>
#include <glog/logging.h>

#include "framework/api_service.h"
#include "framework/engine.h"
#include "framework/framework_flags.h"
#include "framework/health.h"
#include "framework/host_operations.h"
#include "framework/io_service.h"
#include "framework/tcp.h"
#include "framework/version.h"
#include "src/billing_service.h"

DEFINE_string(mysql_pw_file, "",
              "file whose first line is the database password, so that it is not on the "
              "command line; overrides --mysql_pw");

namespace {

// --version and --help are answered before anything starts; gflags' other
// help flags (--helpfull, --helpshort, ...) work as gflags documents them.
void ParseFlags(int* argc, char*** argv) {
  gflags::SetUsageMessage(
      "receipt-validation server\n"
      "usage: biller-server [--flagfile=FILE] [flags...]");
  gflags::SetVersionString(tvx::BillerVersion());
  gflags::ParseCommandLineNonHelpFlags(argc, argv, true);
  std::string value;
  if (gflags::GetCommandLineOption("version", &value) && value == "true") {
    std::cout << tvx::host::VersionLine() << std::endl;
    std::exit(0);
  }
  if (gflags::GetCommandLineOption("help", &value) && value == "true") {
    std::cout << tvx::host::HelpText(gflags::ProgramUsage(),
                                     {"src/billing_service", "host_main", "framework/"});
    std::exit(0);
  }
  gflags::HandleCommandLineHelpFlags();
}

// --mysql_pw_file: the password from the file's first line.
bool ApplyPasswordFile() {
  if (FLAGS_mysql_pw_file.empty()) return true;
  std::string password, error;
  if (!tvx::host::ReadFirstLine(FLAGS_mysql_pw_file, &password, &error)) {
    LOG(ERROR) << "biller-server: --mysql_pw_file: " << error;
    return false;
  }
  FLAGS_mysql_pw = password;
  return true;
}

// Start-up failures the operator fixes with a flag: the last line after the
// fatal one names the flags.
const std::vector<std::pair<std::string, std::string>> kStartupHints = {
    {"failed to start tcp server",
     "the TCP listener could not open (see the line before): choose another "
     "--protobuf_listen_port, or 0 to turn it off"},
    {"failed to start http server",
     "the HTTP listener could not open (see the line before): choose another "
     "--http_listen_port (ports below 1024 need root or CAP_NET_BIND_SERVICE), or 0 to turn "
     "it off"},
    {"Failed to create db connection",
     "the database could not be reached (see the line before): check --mysql_server_url, "
     "--mysql_id, --mysql_pw or --mysql_pw_file and --mysql_db_name (and, for TLS, "
     "--mysql_ssl_ca_file or --mysql_option_file)"},
};

// Shutdown begins: readiness turns 503 and systemd hears STOPPING=1.
void OnShutdownBegins() {
  tvx::health::BeginShutdown();
  tvx::host::NotifyStopping();
}

// SIGHUP reopens the log files, again and again; it never ends the process.
void WaitForHangups(boost::asio::signal_set* hangups) {
  hangups->async_wait([hangups](const boost::system::error_code& ec, int) {
    if (ec) return;
    tvx::host::ReopenLogFiles();
    WaitForHangups(hangups);
  });
}

}  // namespace

int main(int argc, char** argv) {
  // Logs go to standard error unless told otherwise (--logtostderr=false
  // restores glog's log files).
  FLAGS_logtostderr = true;
  ParseFlags(&argc, &argv);
  // glog works out the UTC offset of every line with mktime, and without TZ
  // glibc stats /etc/localtime on each call: two system calls per log line
  // on the request path. A TZ naming the same file is read once.
  setenv("TZ", ":/etc/localtime", 0);
  tzset();
  google::InitGoogleLogging(argv[0]);
  tvx::host::BeginStartup(kStartupHints);
  if (std::string flag_error; !tvx::CheckFlagValues(&flag_error)) {
    LOG(ERROR) << "biller-server: " << flag_error;
    return 2;
  }
  if (!ApplyPasswordFile()) return 2;

  tvx::ArgumentMap arguments;
  if (!FLAGS_arguments_file.empty()) {
    std::string error;
    if (!arguments.LoadFromFile(FLAGS_arguments_file, &error)) {
      LOG(ERROR) << "biller-server: " << error;
      return 2;
    }
  }
  // Without --resource_root the schema script built into the program is used.
  tvx::SetResRoot(FLAGS_resource_root);
  if (FLAGS_tcp_max_message_bytes > 0) {
    tvx::TcpTransport::SetMaxMessageBytes(static_cast<uint32_t>(FLAGS_tcp_max_message_bytes));
  }

  // Signals are waited for by the main thread alone.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
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
    OnShutdownBegins();
    main_loop.stop();
  });
  boost::asio::signal_set hangups(main_loop, SIGHUP);
  WaitForHangups(&hangups);
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
  tvx::host::EndStartup();
  if (!tvx::IsShutDownRequested()) {
    tvx::health::StartDatabaseProbe(FLAGS_mysql_server_url, FLAGS_mysql_id, FLAGS_mysql_pw,
                                    FLAGS_mysql_db_name, FLAGS_mysql_db_character_set);
    tvx::health::SetServing(true);
    tvx::host::NotifyReady();
  }

  main_loop.run();
  OnShutdownBegins();

  TalvexBillerServer_uninstall();
  tvx::health::SetServing(false);
  tvx::ApiService::Stop();
  tvx::health::StopDatabaseProbe();
  tvx::SetShutDownEngineHandler(nullptr);
  tvx::IoService::DestroyAll();
  google::ShutdownGoogleLogging();
  return 0;
}
