#include "framework/framework_flags.h"

DEFINE_int32(api_service_port, 8081,
             "port of the api service (counters over HTTP); 0 turns it off");
DEFINE_string(arguments_file, "",
              "JSON file holding one object whose members are the install arguments");
DEFINE_string(resource_root, "",
              "folder holding another sql/sql_initialize_schema.sql; empty uses the script "
              "built into the program");
DEFINE_string(activity_log_dir, "activity_logs", "folder of the activity logs");
DEFINE_int32(io_threads, 0, "threads of the io group \"default\"; 0 means one per core");
DEFINE_int32(tcp_max_message_bytes, 1048576,
             "largest TCP message accepted; a longer one closes its connection");
