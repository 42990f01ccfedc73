#include "framework/framework_flags.h"

#include <unistd.h>

#include <charconv>
#include <cstdint>

#include <boost/asio/ip/address.hpp>

#include "framework/tcp.h"

DEFINE_int32(api_service_port, 8081,
             "port of the api service (counters over HTTP); 0 turns it off");
DEFINE_string(api_service_bind_address, "127.0.0.1", "address the api service binds");
DEFINE_string(arguments_file, "",
              "JSON file holding one object whose members are the install arguments");
DEFINE_string(resource_root, "",
              "folder holding another sql/sql_initialize_schema.sql; empty uses the script "
              "built into the program");
DEFINE_string(activity_log_dir, "activity_logs", "folder of the activity logs");
DEFINE_int32(io_threads, 0, "threads of the io group \"default\"; 0 means one per core");
DEFINE_int32(tcp_max_message_bytes, 1048576,
             "largest TCP message accepted; a longer one closes its connection");
DEFINE_string(bind_address, "0.0.0.0", "address the TCP protobuf and HTTP listeners bind");
DEFINE_int32(tcp_max_connections, 10000,
             "a TCP connection beyond this many open ones is closed at once; 0 no cap");
DEFINE_int32(tcp_frame_timeout_ms, 30000,
             "a TCP message must arrive whole within this time of its first byte, else its "
             "connection is closed; 0 no deadline");
DEFINE_int32(tcp_idle_timeout_s, 0,
             "a TCP connection that sends nothing this long is closed; 0 never");
DEFINE_int32(tcp_max_inflight_per_connection, 1000,
             "reading from a TCP connection pauses while this many of its requests await "
             "answers; 0 no limit");
DEFINE_int32(shutdown_grace_period_s, 30,
             "on SIGTERM or SIGINT, requests in flight get this long to finish; those still "
             "waiting then are answered 2003");
DEFINE_string(tls_cert_file, "",
              "PEM certificate chain; with --tls_key_file the TCP protobuf and HTTP listeners "
              "speak TLS 1.2 or later only");
DEFINE_string(tls_key_file, "", "PEM private key of --tls_cert_file");
DEFINE_string(tls_client_ca_file, "",
              "PEM CA certificates; with TLS on, a client must present a certificate signed by "
              "one of them");
DEFINE_string(mysql_ssl_ca_file, "",
              "PEM CA certificates: every database connection uses TLS and verifies the "
              "server's certificate against them");
DEFINE_string(mysql_option_file, "",
              "a MariaDB option file read by every database connection (groups [client] and "
              "[biller]): socket, TLS and other client options");

namespace tvx {
namespace {

constexpr const char* kPortFlags[] = {"protobuf_listen_port", "http_listen_port",
                                      "api_service_port"};
constexpr const char* kLimitFlags[] = {
    "io_threads",          "tcp_max_message_bytes",        "mysql_db_connection_count",
    "tcp_max_connections", "tcp_frame_timeout_ms",         "tcp_idle_timeout_s",
    "tcp_max_inflight_per_connection", "shutdown_grace_period_s",
    "http_session_idle_timeout_s",     "http_session_limit",
    "http_client_connect_timeout_ms",  "http_client_timeout_ms"};
constexpr const char* kAddressFlags[] = {"bind_address", "api_service_bind_address"};

// The flag's integer value; false when the program has no such flag.
bool IntegerFlag(const char* name, int64_t* value, std::string* text) {
  if (!gflags::GetCommandLineOption(name, text)) return false;
  const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), *value);
  return ec == std::errc() && end == text->data() + text->size();
}

}  // namespace

bool CheckFlagValues(std::string* error) {
  int64_t value = 0;
  std::string text;
  for (const char* name : kPortFlags) {
    if (IntegerFlag(name, &value, &text) && (value < 0 || value > 65535)) {
      *error = "--" + std::string(name) + "=" + text + " is not a port (0..65535)";
      return false;
    }
  }
  for (const char* name : kLimitFlags) {
    if (IntegerFlag(name, &value, &text) && value < 0) {
      *error = "--" + std::string(name) + "=" + text + " must not be negative";
      return false;
    }
  }
  for (const char* name : kAddressFlags) {
    if (!gflags::GetCommandLineOption(name, &text)) continue;
    boost::system::error_code ec;
    boost::asio::ip::make_address(text, ec);
    if (ec) {
      *error = "--" + std::string(name) + "=" + text + " is not an IP address";
      return false;
    }
  }
  for (const std::string* file : {&FLAGS_mysql_ssl_ca_file, &FLAGS_mysql_option_file}) {
    if (!file->empty() && ::access(file->c_str(), R_OK) != 0) {
      *error = std::string(file == &FLAGS_mysql_ssl_ca_file ? "--mysql_ssl_ca_file="
                                                             : "--mysql_option_file=") +
               *file + " cannot be read";
      return false;
    }
  }
  ListenerTlsFromFlags(error);
  return error->empty();
}

std::shared_ptr<TcpSSLOption> ListenerTlsFromFlags(std::string* error) {
  error->clear();
  const bool cert = !FLAGS_tls_cert_file.empty(), key = !FLAGS_tls_key_file.empty();
  if (cert != key) {
    *error = cert ? "--tls_cert_file is set without --tls_key_file"
                  : "--tls_key_file is set without --tls_cert_file";
    return nullptr;
  }
  if (!cert) {
    if (!FLAGS_tls_client_ca_file.empty()) {
      *error = "--tls_client_ca_file needs --tls_cert_file and --tls_key_file";
    }
    return nullptr;
  }
  std::string reason;
  auto tls = TcpSSLOption::Create(FLAGS_tls_cert_file, FLAGS_tls_key_file,
                                  FLAGS_tls_client_ca_file, &reason);
  if (!tls) {
    const char* flag = reason.starts_with(FLAGS_tls_cert_file + ":") ? "--tls_cert_file"
                       : reason.starts_with(FLAGS_tls_key_file + ":") ? "--tls_key_file"
                                                                       : "--tls_client_ca_file";
    *error = std::string(flag) + "=" + reason;
  }
  return tls;
}

}  // namespace tvx
