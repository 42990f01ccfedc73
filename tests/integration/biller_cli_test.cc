// biller-cli against real billers: what it prints and its exit statuses.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/billing_store.h"
#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

struct CliRun {
  int status = -1;
  std::string out;  // standard output
};

// Runs biller-cli with `arguments` (shell words), `input` on its standard input.
CliRun RunCli(const std::string& arguments, const std::string& input = "") {
  const std::string in_path = ::testing::TempDir() + "/cli-input-" + std::to_string(::getpid());
  std::ofstream(in_path) << input;
  FILE* pipe = ::popen(
      (std::string(BILLER_CLI_PATH) + " " + arguments + " <" + in_path + " 2>/dev/null").c_str(),
      "r");
  CliRun run;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::remove(in_path.c_str());
  return run;
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
  const std::string ok = R"({"authentication":0,"result":0,"decoded_receipt":null})"
                         "\n";
  struct Case {
    std::string arguments;
    std::string input;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {tcp(bypass) + " --receipt_file=" + receipt_file, "", 0, ok},
      {http(bypass) + " --receipt_file=- --player_id=p9", MakeOneStoreReceiptV5("i", "k", "gem"), 0,
       ok},
      {http(bypass) + " --auth_key_file=" + key_file + " --receipt_file=" + receipt_file, "", 0,
       ok},
      // The checking biller refuses a receipt naming no store it knows.
      {tcp(checking) + " --receipt_file=-", R"({"service_provider": "Nowhere"})", 3,
       R"({"authentication":0,"result":1002,"decoded_receipt":null})"
       "\n"},
      // Over HTTP such a receipt has no endpoint: a usage error.
      {http(checking) + " --receipt_file=-", R"({"service_provider": "Nowhere"})", 2, ""},
      {"--tcp=127.0.0.1:" + std::to_string(FreePort()) + " --receipt_file=" + receipt_file, "", 2,
       ""},
      {"--receipt_file=" + receipt_file, "", 2, ""},
      {tcp(bypass) + " " + http(bypass) + " --receipt_file=" + receipt_file, "", 2, ""},
      {tcp(bypass) + " --receipt_file=/nonexistent", "", 2, ""},
      {tcp(bypass) + " --receipt_file=" + receipt_file + " --tls_ca_file=/nonexistent", "", 2,
       ""},
  };
  for (const Case& c : cases) {
    const CliRun run = RunCli(c.arguments, c.input);
    EXPECT_EQ(run.status, c.status) << c.arguments;
    EXPECT_EQ(run.out, c.out) << c.arguments;
  }
}

}  // namespace
}  // namespace tvx::testing
