// BillingAgent's receipt database: the steps of Start and Stop that bring it
// up and down, and the invoker that brings insert results onto the agent's
// event loop.
#include <boost/asio/post.hpp>
#include <glog/logging.h>

#include "framework/engine.h"
#include "src/billing_agent_state.h"
#include "src/billing_service.h"
#include "src/mysql_schema.h"

namespace tvx {

DatabaseSlot the_db_connection;
std::mutex the_db_connection_mutex;

void InvokeDatabaseCallback(const BillerDatabase::InsertReceiptCallback& callback,
                            const BillerDatabase::InsertReceiptResult& result) {
  std::shared_ptr<IoContext> io = the_io_service ? AgentIo() : nullptr;
  if (!io) {
    // Only before Start, when nothing can be waiting on the event loop.
    callback(result);
    return;
  }
  boost::asio::post(*io, [callback, result] { callback(result); });
}

bool StartReceiptDatabase(const std::string& address, const std::string& user,
                          const std::string& password, const std::string& database,
                          uint64_t connection_count, const std::string& character_set) {
  if (the_db_connection.load()) LOG(FATAL) << "Assert failed: ! the_db_connection";
  BillerDatabase::Initialize(&InvokeDatabaseCallback);
  auto db = BillerDatabase::Create(address, user, password, database, connection_count,
                                   character_set);
  if (!db) {
    LOG(FATAL) << "Failed to create db connection. "
               << "address: " << address << ", id: " << user << ", database: " << database;
  }
  {
    std::lock_guard<std::mutex> lock(the_db_connection_mutex);
    the_db_connection.store(db);
  }

  std::string init_schema_script = LoadInitSchemaScript();
  if (init_schema_script.empty()) LOG(FATAL) << "Assert failed: ! init_schema_script.empty()";
  init_schema_script += "\n\n";

  if (FLAGS_biller_use_db_auto_schema_generation) {
    if (!db->InstallSchema(init_schema_script)) {
      LOG(FATAL) << "failed to install sql database schema: unknown error";
    }
    LOG(INFO) << "Sql schema initialized";
  } else if (!FLAGS_export_db_schema_to_file.empty()) {
    ExportSchemaScript(address, database, init_schema_script, FLAGS_export_db_schema_to_file);
    SetToShutDownEngine();
    LOG(INFO) << "The db schema has exported. Exiting.";
    return false;
  }

  db->ValidateSchema();
  LOG(INFO) << "Sql schema validated";
  return true;
}

void StopReceiptDatabase() {
  std::shared_ptr<BillerDatabase> db;
  {
    std::lock_guard<std::mutex> lock(the_db_connection_mutex);
    db = the_db_connection.exchange(nullptr);
  }
  // Finalising waits for the statements being run; not under the lock.
  db.reset();
}

}  // namespace tvx
