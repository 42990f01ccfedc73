// The module's entry points, called by the host program.
#ifndef SRC_BILLING_SERVICE_H_
#define SRC_BILLING_SERVICE_H_

#include <gflags/gflags.h>

#include "framework/engine.h"

DECLARE_int32(protobuf_listen_port);
DECLARE_int32(http_listen_port);
DECLARE_bool(bypass);
DECLARE_string(mysql_server_url);
DECLARE_string(mysql_id);
DECLARE_string(mysql_pw);
DECLARE_string(mysql_db_name);
DECLARE_int32(mysql_db_connection_count);
DECLARE_string(mysql_db_character_set);
DECLARE_bool(biller_use_db_auto_schema_generation);
DECLARE_string(export_db_schema_to_file);
DECLARE_bool(biller_use_one_store_test_server);

extern "C" {
// Checks the options, logs the configuration and starts the billing agent.
// True when the agent started.
__attribute__((visibility("default"))) bool TalvexBillerServer_install(
    const tvx::ArgumentMap& arguments);
// Stops the billing agent. Always true.
__attribute__((visibility("default"))) bool TalvexBillerServer_uninstall();
}

#endif  // SRC_BILLING_SERVICE_H_
