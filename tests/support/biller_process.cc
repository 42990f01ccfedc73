#include "tests/support/biller_process.h"

#include "build_paths.h"
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

#include <boost/algorithm/string.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/endian/conversion.hpp>
#include <gtest/gtest.h>

#include "framework/tcp.h"
#include "framework/uuid.h"
#include "src/mysql_schema.h"
#include "tests/support/eventually.h"

namespace tvx::testing {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

bool RunMariadbScript(const std::string& arguments) {
  const std::string command = std::string(BILLER_SOURCE_DIR) + "/scripts/mariadb.sh " +
                              arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

Biller::Request NewRequest(Biller::MessageType type) {
  Biller::Request request;
  request.set_request_uuid(util::ToBytes(RandomGenerator::GenerateUuid()));
  request.set_type(type);
  return request;
}

HttpResult HttpExchange(int port, const std::string& request,
                        std::chrono::milliseconds timeout = 10s) {
  HttpTestConnection connection;
  if (!connection.Connect(port)) return {};
  return connection.Exchange(request, timeout).value_or(HttpResult{});
}

}  // namespace

int FreePort() {
  boost::asio::io_context io;
  using boost::asio::ip::tcp;
  return tcp::acceptor(io, tcp::endpoint(tcp::v4(), 0)).local_endpoint().port();
}

TestDatabase TestDatabase::FromEnvironment() {
  return {Env("BILLER_TEST_MYSQL_URL"), Env("BILLER_TEST_MYSQL_ID"), Env("BILLER_TEST_MYSQL_PW")};
}

std::optional<std::string> RunSql(const TestDatabase& db, const std::string& database,
                                  const std::string& sql) {
  if (!db.available()) return std::nullopt;
  const auto colon = db.url.rfind(':');
  const std::string port = colon == std::string::npos ? "3306" : db.url.substr(colon + 1);
  const std::string command = "mariadb --no-defaults --batch --skip-column-names -h " +
                              ShellQuote(db.url.substr(0, colon)) + " -P " + ShellQuote(port) +
                              " -u " + ShellQuote(db.user) + " --password=" +
                              ShellQuote(db.password) + " -e " + ShellQuote(sql) + " " +
                              (database.empty() ? "" : ShellQuote(database)) + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;) output.append(chunk, n);
  return ::pclose(pipe) == 0 ? std::optional(output) : std::nullopt;
}

ScratchDatabase::ScratchDatabase()
    : db_(TestDatabase::FromEnvironment()),
      name_("biller_t" + util::ToString(RandomGenerator::GenerateUuid())) {
  std::erase(name_, '-');
  if (db_.available()) RunSql(db_, "", "CREATE DATABASE `" + name_ + "`");
}

ScratchDatabase::~ScratchDatabase() {
  if (db_.available()) RunSql(db_, "", "DROP DATABASE IF EXISTS `" + name_ + "`");
}

std::string ShippedSchemaScript(const std::string& character_set) {
  const std::string text = ReadFile(std::string(BILLER_SOURCE_DIR) + kSchemaScriptPath);
  return PrepareSchemaScript(text, character_set) + "\n\n";
}

void InitializeDatabaseModuleForTests() {
  static std::once_flag once;
  std::call_once(once, [] {
    BillerDatabase::Initialize([](const auto& callback, const auto& result) { callback(result); });
  });
}

BillerDatabase::InsertReceiptResult AwaitInsert(
    const std::function<void(const BillerDatabase::InsertReceiptCallback&)>& insert) {
  auto promise = std::make_shared<std::promise<BillerDatabase::InsertReceiptResult>>();
  auto future = promise->get_future();
  insert([promise](const auto& result) { promise->set_value(result); });
  const bool answered = future.wait_for(30s) == std::future_status::ready;
  return answered ? future.get() : BillerDatabase::kInsertConnectionFailed;
}

std::shared_ptr<Mariadb> ConnectForTests(const TestDatabase& server, const std::string& database,
                                         const std::string& character_set) {
  auto client = Mariadb::Create(server.url, server.user, server.password, database, 1,
                                character_set, true, Mariadb::kDefaultClientFlags, 0, nullptr);
  if (!client || !client->Initialize()) return nullptr;
  return client;
}

std::string QueryValue(Mariadb& client, const std::string& query) {
  Mariadb::Error error;
  auto result_sets = client.ExecuteQuerySync(query, &error);
  if (!result_sets) return "<error: " + ::testing::PrintToString(error) + ">";
  if (!result_sets->SeekNextResultSet() || !result_sets->SeekNextRow()) return "<no row>";
  return result_sets->GetString(0, "<null>");
}

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
bool PrivateMariadb::Start() {
  return RunMariadbScript("start " + dir_ + " " + std::to_string(port_));
}
bool PrivateMariadb::Stop() { return RunMariadbScript("stop " + dir_); }

BillerProcess::BillerProcess(BillerOptions options) {
  char dir[] = "/tmp/biller-test-XXXXXX";
  work_dir_ = ::mkdtemp(dir);
  std::vector<std::string> args = {
      BILLER_SERVER_PATH,
      "--protobuf_listen_port=" + std::to_string(tcp_port_),
      "--http_listen_port=" + std::to_string(http_port_),
      "--api_service_port=" + std::to_string(api_port_),
      "--io_threads=2",
      "--activity_log_dir=" + work_dir_ + "/activity_logs",
  };
  if (options.with_database) {
    database_.emplace();
    const auto& server = database_->server();
    args.insert(args.end(),
                {"--mysql_server_url=" + server.url, "--mysql_id=" + server.user,
                 "--mysql_pw=" + server.password, "--mysql_db_name=" + database_->name()});
  }
  if (options.arguments_json) {
    const std::string path = work_dir_ + "/arguments.json";
    std::ofstream(path, std::ios::binary) << *options.arguments_json;
    args.push_back("--arguments_file=" + path);
  }
  args.insert(args.end(), options.flags.begin(), options.flags.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // In its folder, standard output and error to its log.
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addchdir_np(&actions, work_dir_.c_str());
  ::posix_spawn_file_actions_addopen(&actions, 1, "biller.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::posix_spawn_file_actions_adddup2(&actions, 1, 2);
  ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (options.wait_until_listening) {
    Eventually([&] { return !running() || LoopbackConnection().Connect(tcp_port_); }, 30s);
  }
}

BillerProcess::~BillerProcess() {
  if (running() && !Stop(10s)) {
    ::kill(pid_, SIGKILL);
    WaitForExit(10s);
  }
  // Keep the folder (log, activity logs) of a failed test for a look.
  if (!::testing::Test::HasFailure() && std::getenv("BILLER_KEEP_TEST_DIRS") == nullptr) {
    std::error_code ec;
    std::filesystem::remove_all(work_dir_, ec);
  }
}

bool BillerProcess::running() { return pid_ > 0 && !WaitForExit(0ms); }

std::optional<int> BillerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  Eventually([&] {
    int status = 0;
    if (!exit_status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return exit_status_.has_value();
  }, timeout);
  return exit_status_;
}

std::optional<int> BillerProcess::Stop(std::chrono::milliseconds timeout) {
  if (!exit_status_ && pid_ > 0) ::kill(pid_, SIGTERM);
  return WaitForExit(timeout);
}

std::string BillerProcess::Log() const { return ReadFile(work_dir_ + "/biller.log"); }

bool BillerProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return Eventually([&] { return Log().find(text) != std::string::npos; }, timeout);
}

int BillerProcess::CountInLog(const std::string& text) const {
  const std::string log = Log();
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

std::string BillerProcess::database() const { return database_ ? database_->name() : ""; }

std::string RunUntilRefused(BillerOptions options) {
  options.wait_until_listening = false;
  BillerProcess biller(std::move(options));
  EXPECT_NE(biller.WaitForExit().value_or(0), 0) << biller.Log();
  return biller.Log();
}

bool TcpClient::Send(const Biller::Request& request) {
  return Send(framing::EncodeFrame(request.SerializeAsString()));
}

std::optional<std::string> TcpClient::ReceiveFrame(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  if (!Fill(4, deadline)) return std::nullopt;
  const size_t n =
      boost::endian::load_big_u32(reinterpret_cast<const unsigned char*>(received().data()));
  if (!Fill(4 + n, deadline)) return std::nullopt;
  std::string body = received().substr(4, n);
  received().erase(0, 4 + n);
  return body;
}

bool TcpClient::Receive(Biller::Response* response, std::chrono::milliseconds timeout) {
  const std::optional<std::string> body = ReceiveFrame(timeout);
  return body && response->ParseFromString(*body);
}

Biller::Request MakeAuthenticationRequest(const std::string& client_id,
                                          const std::vector<std::string>& auth_keys) {
  Biller::Request request = NewRequest(Biller::kAuthentication);
  request.mutable_authentication()->set_biller_client_id(client_id);
  for (const auto& key : auth_keys) {
    request.mutable_authentication()->add_service_provider_auth_key(key);
  }
  return request;
}

Biller::Request MakeValidationRequest(const std::string& receipt, bool fill_decoded_receipt,
                                      const std::string& player_id) {
  Biller::Request request = NewRequest(Biller::kReceiptValidation);
  auto* validation = request.mutable_receipt_validation();
  validation->set_player_id(player_id);
  validation->set_player_service_provider("guest");
  validation->set_receipt(receipt);
  if (fill_decoded_receipt) validation->set_fill_decoded_receipt(true);
  return request;
}

HttpResult HttpPost(int port, const std::string& path, const std::string& body,
                    std::chrono::milliseconds timeout) {
  return HttpExchange(
      port, MakeHttpRequest("POST", path, body, "Content-Type: application/json\r\n"), timeout);
}

HttpResult HttpGet(int port, const std::string& path) {
  return HttpExchange(port, MakeHttpRequest("GET", path));
}

ValidationClient::ValidationClient(const BillerProcess& biller, const std::string& client_id,
                                   const std::vector<std::string>& auth_keys) {
  if (!Connect(biller.tcp_port())) return;
  const Biller::Request request = MakeAuthenticationRequest(client_id, auth_keys);
  Biller::Response response;
  ok_ = Send(request) && Receive(&response) &&
        response.request_uuid() == request.request_uuid() &&
        response.authentication().result() == Biller::Authentication_Response::kSuccess;
}

Biller::Response ValidationClient::Validate(const std::string& receipt, bool fill_decoded_receipt,
                                            const std::string& player_id) {
  const Biller::Request request = MakeValidationRequest(receipt, fill_decoded_receipt, player_id);
  Biller::Response response;
  if (!Send(request) || !Receive(&response)) return Biller::Response();
  EXPECT_EQ(response.request_uuid(), request.request_uuid());
  return response;
}

std::string OpenHttpSession(const BillerProcess& biller, Json credentials) {
  credentials.SetString("biller_client_id", "game-server-1");
  const HttpResult result =
      HttpPost(biller.http_port(), "/v1/authentication", credentials.ToString());
  Json answer;
  if (!answer.FromString(result.body) || answer.GetInteger("result") != 0) {
    ADD_FAILURE() << "HTTP authentication refused: " << result.body;
    return "";
  }
  return answer.GetString("sessionid");
}

int64_t ValidateOverHttp(const BillerProcess& biller, const std::string& path,
                         const std::string& session, Json members, const std::string& player_id) {
  members.SetString("sessionid", session);
  members.SetString("player_id", player_id);
  members.SetString("player_service_provider", "guest");
  const HttpResult result = HttpPost(biller.http_port(), path, members.ToString());
  Json answer;
  return answer.FromString(result.body) ? answer.GetInteger("result") : -1;
}

int64_t ResultOf(const Biller::Response& response) {
  if (response.has_fail()) return response.fail().code();
  if (response.has_receipt_validation()) return response.receipt_validation().result();
  return -1;
}

std::vector<std::vector<std::string>> QueryRows(const BillerProcess& biller,
                                                const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(
      RunSql(TestDatabase::FromEnvironment(), biller.database(), sql).value_or(""));
  for (std::string line; std::getline(lines, line);) {
    boost::split(rows.emplace_back(), line, boost::is_any_of("\t"));
  }
  return rows;
}

std::vector<Json> ActivityRecords(const BillerProcess& biller, const std::string& log_name) {
  std::vector<Json> records;
  std::ifstream file(biller.work_dir() + "/activity_logs/" + log_name + ".jsonl");
  for (std::string line; std::getline(file, line);) records.emplace_back().FromString(line);
  return records;
}

Json StoreArguments(const Json& endpoints) { return JsonObject({{"store_endpoints", endpoints}}); }

void StoreValidationTest::SetUp() {
  if (!TestDatabase::FromEnvironment().available()) GTEST_SKIP() << "no BILLER_TEST_MYSQL_URL";
}

void StoreValidationTest::Start(const Json& arguments, std::vector<std::string> flags,
                                const std::vector<std::string>& auth_keys) {
  flags.insert(flags.begin(), "--http_client_timeout_ms=2000");
  biller_ = std::make_unique<BillerProcess>(
      BillerOptions{.flags = std::move(flags), .arguments_json = arguments.ToString()});
  ASSERT_TRUE(biller_->running()) << biller_->Log();
  client_ = std::make_unique<ValidationClient>(*biller_, "game-server-1", auth_keys);
  ASSERT_TRUE(client_->ok()) << biller_->Log();
}

void StoreValidationTest::ExpectCounts(const std::string& store,
                                       const std::map<std::string, int64_t>& expected) {
  for (const std::string& name : {store, std::string("total")}) {
    Json block;
    EXPECT_TRUE(Eventually([&] {
      Json counters;
      counters.FromString(
          HttpGet(biller_->api_port(), "/v1/counters/biller/validation_profiling").body);
      block = counters[name]["all_time"];
      return std::ranges::all_of(expected, [&](const auto& counter) {
        return block[counter.first] == Json(counter.second);
      });
    })) << name << ": " << block.ToString();
  }
}

}  // namespace tvx::testing
