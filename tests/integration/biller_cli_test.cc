// biller-cli against real billers, in plain text and over TLS: what it prints
// and its exit statuses.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/billing_store.h"
#include "tests/support/biller_process.h"
#include "tests/support/test_pki.h"

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
  const std::string dir = ::testing::TempDir() + "/cli-" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0700);
  const TestPki pki = MakeTestPki(dir);
  auto tls = [&pki](std::vector<std::string> flags) {
    flags.insert(flags.end(), {"--bypass=true", "--tls_cert_file=" + pki.server_cert,
                               "--tls_key_file=" + pki.server_key});
    return BillerOptions{.flags = flags};
  };
  BillerProcess bypass(BillerOptions{.flags = {"--bypass=true"}});
  BillerProcess server_tls(tls({}));
  BillerProcess mutual(tls({"--tls_client_ca_file=" + pki.ca}));
  ASSERT_TRUE(bypass.running() && server_tls.running() && mutual.running());
  const std::string receipt_file = dir + "/receipt";
  std::ofstream(receipt_file) << MakeGooglePlayReceipt("com.example", "gem", "token-1");
  std::ofstream(dir + "/key") << MakeOneStoreAuthKey("id", "secret");
  auto tcp = [](const BillerProcess& b) {
    return "--tcp=127.0.0.1:" + std::to_string(b.tcp_port());
  };
  auto http = [](const BillerProcess& b, const std::string& scheme = "http") {
    return "--http=" + scheme + "://127.0.0.1:" + std::to_string(b.http_port());
  };
  const std::string ok = R"(0 {"authentication":0,"result":0,"decoded_receipt":null})" "\n";
  const std::string file = " --receipt_file=" + receipt_file;
  const std::string ca = file + " --tls_ca_file=" + pki.ca;
  const std::string client_cert =
      " --tls_cert_file=" + pki.client_cert + " --tls_key_file=" + pki.client_key;
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {tcp(bypass) + file, "", ok},
      {http(bypass) + " --receipt_file=- --player_id=p9", MakeOneStoreReceiptV5("i", "k", "g"), ok},
      {http(bypass) + " --auth_key_file=" + dir + "/key" + file, "", ok},
      // Over HTTP a receipt naming no store has no endpoint: a usage error.
      {http(bypass) + " --receipt_file=-", R"({"service_provider": "Nowhere"})", "2 "},
      {"--tcp=127.0.0.1:" + std::to_string(FreePort()) + file, "", "2 "},
      {file, "", "2 "},
      {tcp(bypass) + " " + http(bypass) + file, "", "2 "},
      {tcp(bypass) + " --receipt_file=/nonexistent", "", "2 "},
      {tcp(bypass) + file + " --tls_ca_file=/nonexistent", "", "2 "},
      {tcp(mutual) + ca + client_cert, "", ok},
      {http(server_tls, "https") + ca, "", ok},
      {tcp(mutual) + ca, "", "2 "},  // no client certificate
      {http(server_tls, "https") + file + " --tls_ca_file=" + pki.client_cert, "", "2 "},
  };
  for (const auto& [arguments, input, outcome] : cases) {
    EXPECT_EQ(RunCli(arguments, input), outcome) << arguments;
  }
}

}  // namespace
}  // namespace tvx::testing
