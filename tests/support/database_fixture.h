// Helpers for tests that run the receipt database in the test process.
#ifndef TESTS_SUPPORT_DATABASE_FIXTURE_H_
#define TESTS_SUPPORT_DATABASE_FIXTURE_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "framework/mariadb.h"
#include "src/database.h"

namespace tvx::testing {

// The shipped schema script, prepared as the start-up prepares it.
std::string ShippedSchemaScript(const std::string& character_set = "utf8");

// Once per process; callbacks run at once, on the database thread.
void InitializeDatabaseModuleForTests();

// kInsertConnectionFailed when no result came in time.
BillerDatabase::InsertReceiptResult AwaitInsert(
    const std::function<void(const BillerDatabase::InsertReceiptCallback&)>& insert,
    std::chrono::seconds timeout = std::chrono::seconds(30));

std::shared_ptr<Mariadb> ConnectForTests(const std::string& url, const std::string& user,
                                         const std::string& password,
                                         const std::string& database,
                                         const std::string& character_set = "utf8",
                                         uint64_t connections = 1);

// The first column of the first row, or "<error: ...>".
std::string QueryValue(Mariadb& client, const std::string& query);

// A MariaDB server of the test's own on a free port (user, password and
// database "biller"), run by scripts/mariadb.sh.
class PrivateMariadb {
 public:
  PrivateMariadb();
  ~PrivateMariadb();
  PrivateMariadb(const PrivateMariadb&) = delete;
  PrivateMariadb& operator=(const PrivateMariadb&) = delete;
  static bool available();
  bool Start();
  bool Stop();
  std::string url() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int port_;
  std::string dir_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_DATABASE_FIXTURE_H_
