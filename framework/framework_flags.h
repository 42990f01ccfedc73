// Options of the framework host, shared by the host program and the module.
#ifndef FRAMEWORK_FRAMEWORK_FLAGS_H_
#define FRAMEWORK_FRAMEWORK_FLAGS_H_

#include <memory>
#include <string>

#include <gflags/gflags.h>

DECLARE_int32(api_service_port);
DECLARE_string(api_service_bind_address);
DECLARE_string(arguments_file);
DECLARE_string(resource_root);
DECLARE_string(activity_log_dir);
DECLARE_int32(io_threads);
DECLARE_int32(tcp_max_message_bytes);
DECLARE_string(bind_address);
DECLARE_int32(tcp_max_connections);
DECLARE_int32(tcp_frame_timeout_ms);
DECLARE_int32(tcp_idle_timeout_s);
DECLARE_int32(tcp_max_inflight_per_connection);
DECLARE_int32(shutdown_grace_period_s);
DECLARE_string(tls_cert_file);
DECLARE_string(tls_key_file);
DECLARE_string(tls_client_ca_file);
DECLARE_string(mysql_ssl_ca_file);
DECLARE_string(mysql_option_file);

namespace tvx {

// Checks the parsed command line: every port flag within 0..65535, no limit
// or time negative, bind addresses that are IP addresses. False with a
// message naming the flag at the first that is not. Flags of the list that
// the program does not define are passed over.
bool CheckFlagValues(std::string* error);

class TcpSSLOption;

// The listeners' TLS from --tls_cert_file, --tls_key_file and
// --tls_client_ca_file: null without them; null with a message naming the
// flag in `error` when only one of the pair is set or a file is unusable.
std::shared_ptr<TcpSSLOption> ListenerTlsFromFlags(std::string* error);

}  // namespace tvx

#endif  // FRAMEWORK_FRAMEWORK_FLAGS_H_
