// biller-cli against real billers: what it prints and its exit statuses.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/billing_store.h"
#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

// Runs biller-cli with `arguments` (shell words), `input` on its standard
// input: "<exit status> <standard output>".
std::string RunCli(const std::string& arguments, const std::string& input) {
  const std::string in_path = ::testing::TempDir() + "/cli-input-" + std::to_string(::getpid());
  std::ofstream(in_path) << input;
  FILE* pipe = ::popen(
      (std::string(BILLER_CLI_PATH) + " " + arguments + " <" + in_path + " 2>/dev/null").c_str(),
      "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  std::remove(in_path.c_str());
  return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + out;
}

TEST(BillerCliTest, ExitStatusesFollowTheAnswers) {
  BillerProcess bypass(BillerOptions{.flags = {"--bypass=true"}});
  BillerProcess checking(BillerOptions{.flags = {"--bypass=false"}});
  ASSERT_TRUE(bypass.running()) << bypass.Log();
  ASSERT_TRUE(checking.running()) << checking.Log();
  const std::string receipt_file =
      ::testing::TempDir() + "/cli-receipt-" + std::to_string(::getpid());
  std::ofstream(receipt_file) << MakeGooglePlayReceipt("com.example", "gem", "token-1");
  const std::string key_file = ::testing::TempDir() + "/cli-key-" + std::to_string(::getpid());
  std::ofstream(key_file) << MakeOneStoreAuthKey("id", "secret");
  auto tcp = [](const BillerProcess& b) { return "--tcp=127.0.0.1:" + std::to_string(b.tcp_port()); };
  auto http = [](const BillerProcess& b) {
    return "--http=http://127.0.0.1:" + std::to_string(b.http_port());
  };
  const std::string ok = R"(0 {"authentication":0,"result":0,"decoded_receipt":null})" "\n";
  const std::string file = " --receipt_file=" + receipt_file;
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {tcp(bypass) + file, "", ok},
      {http(bypass) + " --receipt_file=- --player_id=p9", MakeOneStoreReceiptV5("i", "k", "gem"), ok},
      {http(bypass) + " --auth_key_file=" + key_file + file, "", ok},
      // The checking biller refuses a receipt naming no store it knows.
      {tcp(checking) + " --receipt_file=-", R"({"service_provider": "Nowhere"})",
       R"(3 {"authentication":0,"result":1002,"decoded_receipt":null})" "\n"},
      // Over HTTP such a receipt has no endpoint: a usage error.
      {http(checking) + " --receipt_file=-", R"({"service_provider": "Nowhere"})", "2 "},
      {"--tcp=127.0.0.1:" + std::to_string(FreePort()) + file, "", "2 "},
      {file, "", "2 "},
      {tcp(bypass) + " " + http(bypass) + file, "", "2 "},
      {tcp(bypass) + " --receipt_file=/nonexistent", "", "2 "},
      {tcp(bypass) + file + " --tls_ca_file=/nonexistent", "", "2 "},
  };
  for (const auto& [arguments, input, outcome] : cases) {
    EXPECT_EQ(RunCli(arguments, input), outcome) << arguments;
  }
}

}  // namespace
}  // namespace tvx::testing
