// Options of the framework host, shared by the host program and the module.
#ifndef FRAMEWORK_FRAMEWORK_FLAGS_H_
#define FRAMEWORK_FRAMEWORK_FLAGS_H_

#include <gflags/gflags.h>

DECLARE_int32(api_service_port);
DECLARE_string(arguments_file);
DECLARE_string(resource_root);
DECLARE_string(activity_log_dir);
DECLARE_int32(io_threads);
DECLARE_int32(tcp_max_message_bytes);

#endif  // FRAMEWORK_FRAMEWORK_FLAGS_H_
