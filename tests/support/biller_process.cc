#include "tests/support/biller_process.h"

#include "build_paths.h"
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <boost/asio/ip/tcp.hpp>
#include <boost/endian/conversion.hpp>
#include <gtest/gtest.h>

#include "framework/tcp.h"
#include "framework/uuid.h"
#include "tests/support/eventually.h"
#include "tests/support/http_test_client.h"

namespace tvx::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

HttpResult HttpExchange(int port, const std::string& request, std::chrono::milliseconds timeout) {
  HttpResult result;
  HttpTestConnection connection;
  if (!connection.Connect(port)) return result;
  if (auto reply = connection.Exchange(request, timeout)) {
    result.status = reply->status;
    result.body = reply->body;
    result.content_type = reply->Header("content-type");
  }
  return result;
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
  const std::string host = db.url.substr(0, colon);
  const std::string port = colon == std::string::npos ? "3306" : db.url.substr(colon + 1);
  char path[] = "/tmp/biller-sql-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return std::nullopt;
  ::close(fd);
  std::ofstream(path, std::ios::binary) << sql;
  std::string command = "mariadb --no-defaults --batch --skip-column-names -h " +
                        ShellQuote(host) + " -P " + ShellQuote(port) + " -u " +
                        ShellQuote(db.user) + " " +
                        (db.password.empty() ? "" : "-p" + ShellQuote(db.password) + " ") +
                        (database.empty() ? "" : ShellQuote(database)) + " < " + path +
                        " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char chunk[4096];
  for (size_t n; pipe && (n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0;) {
    output.append(chunk, n);
  }
  const int status = pipe ? ::pclose(pipe) : -1;
  ::unlink(path);
  return status == 0 ? std::optional(output) : std::nullopt;
}

ScratchDatabase::ScratchDatabase() : db_(TestDatabase::FromEnvironment()) {
  static std::atomic<int> counter{0};
  name_ = "biller_t" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" +
          std::to_string(std::random_device()() % 1000000000);
  if (db_.available()) RunSql(db_, "", "CREATE DATABASE `" + name_ + "`");
}

ScratchDatabase::~ScratchDatabase() {
  if (db_.available()) RunSql(db_, "", "DROP DATABASE IF EXISTS `" + name_ + "`");
}

BillerProcess::BillerProcess(BillerOptions options) {
  char dir[] = "/tmp/biller-test-XXXXXX";
  work_dir_ = ::mkdtemp(dir);
  log_path_ = work_dir_ + "/biller.log";

  tcp_port_ = FreePort();
  http_port_ = FreePort();
  api_port_ = FreePort();
  // The caller's own choice of a port is the one the harness talks to.
  for (const auto& flag : options.flags) {
    auto value_of = [&](const std::string& name) -> std::optional<int> {
      if (flag.rfind(name + "=", 0) == 0) return std::atoi(flag.c_str() + name.size() + 1);
      return std::nullopt;
    };
    if (auto v = value_of("--protobuf_listen_port")) tcp_port_ = *v;
    if (auto v = value_of("--http_listen_port")) http_port_ = *v;
    if (auto v = value_of("--api_service_port")) api_port_ = *v;
  }

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
    args.push_back("--mysql_server_url=" + server.url);
    args.push_back("--mysql_id=" + server.user);
    args.push_back("--mysql_pw=" + server.password);
    args.push_back("--mysql_db_name=" + database_->name());
  }
  if (options.arguments_json) {
    const std::string path = work_dir_ + "/arguments.json";
    std::ofstream(path, std::ios::binary) << *options.arguments_json;
    args.push_back("--arguments_file=" + path);
  }
  args.insert(args.end(), options.flags.begin(), options.flags.end());

  pid_ = ::fork();
  if (pid_ == 0) {
    int log = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    if (::chdir(work_dir_.c_str()) != 0) ::_exit(126);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (options.wait_until_listening) {
    const int port = tcp_port_ != 0 ? tcp_port_ : http_port_;
    Eventually([&] { return !running() || LoopbackConnection().Connect(port); }, 30s);
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

bool BillerProcess::running() {
  if (pid_ <= 0 || exit_status_) return false;
  return !WaitForExit(0ms).has_value();
}

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

std::string BillerProcess::Log() const { return ReadFile(log_path_); }

bool BillerProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return Eventually([&] { return Log().find(text) != std::string::npos; }, timeout);
}

int BillerProcess::CountInLog(const std::string& text) const {
  const std::string log = Log();
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

const std::string& BillerProcess::database() const {
  static const std::string kNone;
  return database_ ? database_->name() : kNone;
}

std::string RunUntilRefused(BillerOptions options) {
  options.wait_until_listening = false;
  BillerProcess biller(std::move(options));
  const auto status = biller.WaitForExit();
  EXPECT_TRUE(status.has_value()) << "still running:\n" << biller.Log();
  EXPECT_NE(status.value_or(0), 0) << biller.Log();
  return biller.Log();
}

bool TcpClient::Send(const Biller::Request& request) {
  return Send(framing::EncodeFrame(request.SerializeAsString()));
}

bool TcpClient::Receive(Biller::Response* response, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  if (!Fill(4, deadline)) return false;
  const uint32_t n =
      boost::endian::load_big_u32(reinterpret_cast<const unsigned char*>(received().data()));
  if (!Fill(4 + size_t{n}, deadline)) return false;
  const bool parsed = response->ParseFromArray(received().data() + 4, static_cast<int>(n));
  received().erase(0, 4 + size_t{n});
  return parsed;
}

namespace {
Biller::Request NewRequest(Biller::MessageType type) {
  Biller::Request request;
  request.set_request_uuid(util::ToBytes(RandomGenerator::GenerateUuid()));
  request.set_type(type);
  return request;
}
}  // namespace

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
                                      const std::string& player_id,
                                      const std::string& player_service_provider) {
  Biller::Request request = NewRequest(Biller::kReceiptValidation);
  auto* validation = request.mutable_receipt_validation();
  validation->set_player_id(player_id);
  validation->set_player_service_provider(player_service_provider);
  validation->set_receipt(receipt);
  if (fill_decoded_receipt) validation->set_fill_decoded_receipt(true);
  return request;
}

HttpResult HttpPost(int port, const std::string& path, const std::string& body,
                    std::chrono::milliseconds timeout) {
  return HttpExchange(
      port, MakeHttpRequest("POST", path, body, "Content-Type: application/json\r\n"), timeout);
}

HttpResult HttpGet(int port, const std::string& path, std::chrono::milliseconds timeout) {
  return HttpExchange(port, MakeHttpRequest("GET", path), timeout);
}

}  // namespace tvx::testing
