// Runs biller-server on free loopback ports and talks to it; prepares
// databases for it and for tests that run the receipt database in-process.
#ifndef TESTS_SUPPORT_BILLER_PROCESS_H_
#define TESTS_SUPPORT_BILLER_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/biller.pb.h"
#include "framework/json.h"
#include "framework/mariadb.h"
#include "src/database.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/loopback_connection.h"

namespace tvx::testing {

using namespace std::chrono_literals;

int FreePort();  // free a moment ago

// The test MariaDB named by BILLER_TEST_MYSQL_URL, _ID, _PW (url "" if unset).
struct TestDatabase {
  std::string url;  // host:port
  std::string user;
  std::string password;
  bool available() const { return !url.empty(); }
  static TestDatabase FromEnvironment();
};

// The mariadb client's output (tab-separated rows); nullopt when it fails.
std::optional<std::string> RunSql(const TestDatabase& db, const std::string& database,
                                  const std::string& sql);

// A database of its own for one test, dropped at the end.
class ScratchDatabase {
 public:
  ScratchDatabase();
  ~ScratchDatabase();
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;
  const std::string& name() const { return name_; }
  const TestDatabase& server() const { return db_; }

 private:
  TestDatabase db_;
  std::string name_;
};

// The shipped schema script, prepared as the start-up prepares it.
std::string ShippedSchemaScript(const std::string& character_set = "utf8");

// Once per process; callbacks run at once, on the database thread.
void InitializeDatabaseModuleForTests();

// kInsertConnectionFailed when no result came within 30 s.
BillerDatabase::InsertReceiptResult AwaitInsert(
    const std::function<void(const BillerDatabase::InsertReceiptCallback&)>& insert);

std::shared_ptr<Mariadb> ConnectForTests(const TestDatabase& server, const std::string& database,
                                         const std::string& character_set = "utf8");

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

struct BillerOptions {
  std::vector<std::string> flags{};  // they win over the harness's own
  bool with_database = true;         // a fresh scratch database on the test MariaDB
  std::optional<std::string> arguments_json{};  // passed as --arguments_file
  bool wait_until_listening = true;  // on the TCP port
};

class BillerProcess {
 public:
  explicit BillerProcess(BillerOptions options = {});
  ~BillerProcess();  // SIGTERM, then SIGKILL after 10 s
  BillerProcess(const BillerProcess&) = delete;
  BillerProcess& operator=(const BillerProcess&) = delete;

  // The exit status (WEXITSTATUS, or 128 + signal); nullopt on time-out.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = 30s);
  std::optional<int> Stop(std::chrono::milliseconds timeout = 30s);  // SIGTERM, then WaitForExit
  bool running();

  std::string Log() const;  // standard output and error so far
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const;
  int CountInLog(const std::string& text) const;

  int tcp_port() const { return tcp_port_; }
  int http_port() const { return http_port_; }
  int api_port() const { return api_port_; }
  std::string database() const;
  const std::string& work_dir() const { return work_dir_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_status_;
  const int tcp_port_ = FreePort();
  const int http_port_ = FreePort();
  const int api_port_ = FreePort();
  std::string work_dir_;
  std::optional<ScratchDatabase> database_;
};

// Runs a biller that must exit non-zero at start; its log.
std::string RunUntilRefused(BillerOptions options);

// A blocking client of the biller's TCP protocol (the base's Send: raw bytes).
class TcpClient : public LoopbackConnection {
 public:
  bool Connect(int port, std::chrono::milliseconds patience = 5s) {
    return LoopbackConnection::Connect(port, patience);
  }
  using LoopbackConnection::Send;
  bool Send(const Biller::Request& request);
  // The next frame's body; nullopt on time-out or close.
  std::optional<std::string> ReceiveFrame(std::chrono::milliseconds timeout = 10s);
  // False on time-out, close or a bad message.
  bool Receive(Biller::Response* response, std::chrono::milliseconds timeout = 10s);
};

// A request with a fresh random uuid (a validation's player provider: "guest").
Biller::Request MakeAuthenticationRequest(const std::string& client_id,
                                          const std::vector<std::string>& auth_keys = {});
Biller::Request MakeValidationRequest(const std::string& receipt, bool fill_decoded_receipt = false,
                                      const std::string& player_id = "player-1");

// On a new connection to 127.0.0.1:port.
HttpResult HttpPost(int port, const std::string& path, const std::string& body,
                    std::chrono::milliseconds timeout = 10s);
HttpResult HttpGet(int port, const std::string& path);

class ValidationClient : public TcpClient {
 public:
  // Connects and authenticates; see ok().
  explicit ValidationClient(const BillerProcess& biller,
                            const std::string& client_id = "game-server-1",
                            const std::vector<std::string>& auth_keys = {});

  bool ok() const { return ok_; }

  // A default answer when none came.
  Biller::Response Validate(const std::string& receipt, bool fill_decoded_receipt = false,
                            const std::string& player_id = "player-1");

 private:
  bool ok_ = false;
};

// The session id of "game-server-1" with `credentials`; "" when refused.
std::string OpenHttpSession(const BillerProcess& biller, Json credentials = Json::Object());
// The answer's "result" (-1 when unreadable) for `members` and the player.
int64_t ValidateOverHttp(const BillerProcess& biller, const std::string& path,
                         const std::string& session, Json members,
                         const std::string& player_id = "player-1");

// The validation result, or the failure code of a fail answer.
int64_t ResultOf(const Biller::Response& response);

// Rows of `sql` on the biller's database.
std::vector<std::vector<std::string>> QueryRows(const BillerProcess& biller,
                                                const std::string& sql);

std::vector<Json> ActivityRecords(const BillerProcess& biller, const std::string& log_name);

Json StoreArguments(const Json& endpoints);

// A biller (store calls time out after 2 s) pointed at fakes on server_,
// and a client; skipped without a test database.
class StoreValidationTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void Start(const Json& arguments, std::vector<std::string> flags = {},
             const std::vector<std::string>& auth_keys = {});
  // The "all_time" counts of `store` and of "total", waiting for them.
  void ExpectCounts(const std::string& store, const std::map<std::string, int64_t>& expected);

  FakeHttpServer server_;
  std::unique_ptr<BillerProcess> biller_;
  std::unique_ptr<ValidationClient> client_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_BILLER_PROCESS_H_
