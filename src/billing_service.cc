#include "src/billing_service.h"

#include <glog/logging.h>

#include "src/apple_server_api.h"
#include "src/billing_agent.h"
#include "src/p4_store_adapter.h"
#include "src/store_endpoints.h"
#include "src/store_notifications.h"
#include "src/voided_purchases_poller.h"

DEFINE_int32(protobuf_listen_port, 12810, "listen port for protobuf protocol");
DEFINE_int32(http_listen_port, 80, "listen port for http protocol");
DEFINE_bool(bypass, false, "bypass mode, true or false");
DEFINE_string(mysql_server_url, "127.0.0.1:3306", "mysql server address");
DEFINE_string(mysql_id, "", "mysql id");
DEFINE_string(mysql_pw, "", "mysql password");
DEFINE_string(mysql_db_name, "biller", "database name");
DEFINE_int32(mysql_db_connection_count, 1, "db connection pool count");
DEFINE_string(mysql_db_character_set, "utf8", "db character set");
DEFINE_bool(biller_use_db_auto_schema_generation, true,
            "If true, executes schema generation scripts automatically");
DEFINE_string(export_db_schema_to_file, "", "Exports db schema to given file path");
DEFINE_bool(biller_use_one_store_test_server, false,
            "If ture, use OneStore test server url when authenticate or validate OneStore "
            "receipt");

extern "C" bool TalvexBillerServer_install(const tvx::ArgumentMap& arguments) {
  if (!FLAGS_export_db_schema_to_file.empty() && FLAGS_biller_use_db_auto_schema_generation) {
    LOG(FATAL) << "If the export_db_schema_to_file is not empty, "
               << "the --biller_use_db_auto_schema_generation option "
               << "must be false.";
  }
  if (FLAGS_mysql_db_character_set.empty()) {
    LOG(FATAL) << "Wrong the mysql_db_character_set option";
  }

  if (FLAGS_bypass) {
    LOG(WARNING) << "Run as bypass mode";
  } else {
    LOG(INFO) << "Run";
  }
  LOG(INFO) << "configuration" << std::endl
            << "listen_port=" << FLAGS_protobuf_listen_port << std::endl
            << "bypass=" << (FLAGS_bypass ? 1 : 0) << std::endl
            << "mysql server_url=" << FLAGS_mysql_server_url << std::endl
            << "mysql id=" << FLAGS_mysql_id << std::endl
            << "mysql database=" << FLAGS_mysql_db_name << std::endl
            << "mysql db connection count=" << FLAGS_mysql_db_connection_count << std::endl
            << "mysql db character set=" << FLAGS_mysql_db_character_set;

  std::string endpoints_error;
  if (!tvx::SetStoreEndpoints(arguments.FindArgument("store_endpoints"), &endpoints_error)) {
    LOG(ERROR) << "Wrong install argument: " << endpoints_error;
    return false;
  }

  std::string apple_error;
  if (!tvx::SetAppleServerApiConfig(arguments.FindArgument("apple_app_store_server_api"),
                                    &apple_error)) {
    LOG(ERROR) << "Wrong install argument: " << apple_error;
    return false;
  }

  std::string revocation_error;
  if (!tvx::SetVoidedPurchasesConfig(arguments.FindArgument("google_play_voided_purchases"),
                                     &revocation_error) ||
      !tvx::SetGooglePlayNotificationToken(
          arguments.FindArgument("google_play_notification_token"), &revocation_error)) {
    LOG(ERROR) << "Wrong install argument: " << revocation_error;
    return false;
  }

  // After the store endpoints: the platform's addresses are taken from them.
  if (!tvx::P4StoreAdapter::ParseP4PlatformArgument(arguments)) return false;

  return tvx::BillingAgent::Start(
      "default", static_cast<uint16_t>(FLAGS_protobuf_listen_port),
      static_cast<uint16_t>(FLAGS_http_listen_port), FLAGS_bypass, FLAGS_mysql_server_url,
      FLAGS_mysql_id, FLAGS_mysql_pw, FLAGS_mysql_db_name,
      static_cast<uint64_t>(FLAGS_mysql_db_connection_count), FLAGS_mysql_db_character_set);
}

extern "C" bool TalvexBillerServer_uninstall() {
  LOG(INFO) << "Quit";
  tvx::BillingAgent::Stop();
  return true;
}
