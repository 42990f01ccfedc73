#include "tests/support/database_fixture.h"

#include "build_paths.h"
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

#include "src/mysql_schema.h"
#include "tests/support/biller_process.h"

namespace tvx::testing {

std::string ShippedSchemaScript(const std::string& character_set) {
  std::ifstream in(std::string(BILLER_SOURCE_DIR) + kSchemaScriptPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return PrepareSchemaScript(text.str(), character_set) + "\n\n";
}

void InitializeDatabaseModuleForTests() {
  static std::once_flag once;
  std::call_once(once, [] {
    BillerDatabase::Initialize([](const BillerDatabase::InsertReceiptCallback& callback,
                                  const BillerDatabase::InsertReceiptResult& result) {
      callback(result);
    });
  });
}

BillerDatabase::InsertReceiptResult AwaitInsert(
    const std::function<void(const BillerDatabase::InsertReceiptCallback&)>& insert,
    std::chrono::seconds timeout) {
  auto promise = std::make_shared<std::promise<BillerDatabase::InsertReceiptResult>>();
  auto future = promise->get_future();
  insert([promise](const BillerDatabase::InsertReceiptResult& result) {
    promise->set_value(result);
  });
  if (future.wait_for(timeout) != std::future_status::ready) {
    return BillerDatabase::kInsertConnectionFailed;
  }
  return future.get();
}

std::shared_ptr<Mariadb> ConnectForTests(const std::string& url, const std::string& user,
                                         const std::string& password,
                                         const std::string& database,
                                         const std::string& character_set,
                                         uint64_t connections) {
  auto client = Mariadb::Create(url, user, password, database, connections, character_set,
                                true, Mariadb::kDefaultClientFlags, 0, nullptr);
  if (!client || !client->Initialize()) return nullptr;
  return client;
}

std::string QueryValue(Mariadb& client, const std::string& query) {
  Mariadb::Error error;
  auto result_sets = client.ExecuteQuerySync(query, &error);
  if (!result_sets) {
    std::ostringstream out;
    out << "<error: " << error << ">";
    return out.str();
  }
  if (!result_sets->SeekNextResultSet() || !result_sets->SeekNextRow()) return "<no row>";
  return result_sets->GetString(0, "<null>");
}

namespace {

bool RunMariadbScript(const std::string& arguments) {
  const std::string command = std::string(BILLER_SOURCE_DIR) + "/scripts/mariadb.sh " +
                              arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace

PrivateMariadb::PrivateMariadb() : port_(FreePort()) {
  char dir[] = "/tmp/biller-mariadb-XXXXXX";
  dir_ = ::mkdtemp(dir);
}

PrivateMariadb::~PrivateMariadb() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool PrivateMariadb::available() { return ::access("/usr/sbin/mariadbd", X_OK) == 0; }
bool PrivateMariadb::Start() { return RunMariadbScript("start " + dir_ + " " + std::to_string(port_)); }
bool PrivateMariadb::Stop() { return RunMariadbScript("stop " + dir_); }

}  // namespace tvx::testing
