// TLS on the TCP protobuf and HTTP listeners: what a client must present,
// that a peer that never completes a handshake cannot hold a place, and
// biller-cli as a client of plain and TLS listeners. Over HTTPS with a client
// certificate or an old protocol version, curl is the client.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/billing_store.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

// Runs `command` in the shell: "<exit status> <standard output>".
std::string Shell(const std::string& command) {
  FILE* pipe = ::popen(("exec 2>/dev/null; " + command).c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = ::pclose(pipe);
  return std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + " " + out;
}

// Runs biller-cli with `arguments` (shell words), `input` on its standard
// input as a here-document.
std::string RunCli(const std::string& arguments, const std::string& input) {
  return Shell(std::string(BILLER_CLI_PATH) + " " + arguments + " <<'END'\n" + input + "\nEND");
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Each test runs in a process of its own, in parallel: one folder each.
    dir_ = ::testing::TempDir() + "/tls-" + std::to_string(::getpid());
    ::mkdir(dir_.c_str(), 0700);
    pki_ = new TestPki(MakeTestPki(dir_));
    auto tls = [](std::vector<std::string> flags) {
      flags.insert(flags.end(), {"--bypass=true", "--tls_cert_file=" + pki_->server_cert,
                                 "--tls_key_file=" + pki_->server_key});
      return new BillerProcess(BillerOptions{.flags = flags});
    };
    server_only_ = tls({"--tcp_frame_timeout_ms=500", "--tcp_max_connections=1"});
    mutual_ = tls({"--tls_client_ca_file=" + pki_->ca});
  }
  static void TearDownTestSuite() { delete server_only_, delete mutual_, delete pki_; }

  // Whether biller-cli, trusting the CA, gets a validation from `biller`'s
  // TCP listener with `cli_flags`.
  static bool ValidatedOverTcp(const BillerProcess& biller, const std::string& cli_flags = "") {
    return RunCli("--tcp=127.0.0.1:" + std::to_string(biller.tcp_port()) +
                      " --tls_ca_file=" + pki_->ca + " --receipt_file=-" + cli_flags,
                  "{}")
        .starts_with("0 ");
  }

  // curl's exit status and HTTP status for an authentication over HTTPS to
  // `port` with `curl_flags`, trusting the CA.
  static std::string Curl(int port, const std::string& curl_flags) {
    return Shell("curl -s -o /dev/null -w '%{http_code}' --max-time 10 --cacert " + pki_->ca +
                 curl_flags + " -H 'Content-Type: application/json'" +
                 " -d '{\"biller_client_id\": \"c\"}' https://127.0.0.1:" + std::to_string(port) +
                 "/v1/authentication");
  }

  static inline std::string dir_;
  static inline TestPki* pki_ = nullptr;
  static inline BillerProcess *server_only_ = nullptr, *mutual_ = nullptr;
};

TEST_F(TlsTest, ClientsMustSpeakTheTlsTheServerAsksFor) {
  ASSERT_TRUE(server_only_->running() && mutual_->running()) << server_only_->Log()
                                                              << mutual_->Log();
  const struct {
    BillerProcess* biller;
    std::string cert, key;  // of the client; none when empty
    bool answered;
  } cases[] = {
      {server_only_, "", "", true},
      {mutual_, "", "", false},
      {mutual_, pki_->other_client_cert, pki_->other_client_key, false},
      {mutual_, pki_->client_cert, pki_->client_key, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    const bool with_cert = !c.cert.empty();
    const std::string curl_cert = with_cert ? " --cert " + c.cert + " --key " + c.key : "";
    EXPECT_EQ(Curl(c.biller->http_port(), curl_cert) == "0 200", c.answered);
    // A refused client is refused at once; an accepted one may find the
    // single place of `server_only_` still held by the previous client.
    auto tcp = [&] {
      return ValidatedOverTcp(
          *c.biller, with_cert ? " --tls_cert_file=" + c.cert + " --tls_key_file=" + c.key : "");
    };
    EXPECT_EQ(c.answered ? Eventually(tcp) : tcp(), c.answered);
  }
  EXPECT_TRUE(mutual_->WaitForLog("TLS handshake with 127.0.0.1:")) << mutual_->Log();
  // A client offering TLS 1.1 alone fails its handshake (35) on either listener.
  for (int port : {server_only_->tcp_port(), server_only_->http_port()}) {
    EXPECT_EQ(Curl(port, " --tlsv1.1 --tls-max 1.1 --ciphers DEFAULT:@SECLEVEL=0"), "35 000");
  }
}

// Plain-text clients get no answer; a silent peer is closed within the frame
// timeout and frees the single place of the TCP listener.
TEST_F(TlsTest, PlainAndSilentPeersAreClosedAndFreeTheirPlace) {
  TcpClient plain;
  ASSERT_TRUE(plain.Connect(server_only_->tcp_port()) && plain.Send(MakeValidationRequest("{}")));
  Biller::Response response;
  EXPECT_FALSE(plain.Receive(&response, 3s));
  EXPECT_EQ(HttpPost(server_only_->http_port(), "/v1/authentication", "{}", 3s).status, 0);
  for (int port : {server_only_->tcp_port(), server_only_->http_port()}) {
    TcpClient silent;
    ASSERT_TRUE(silent.Connect(port));
    EXPECT_TRUE(silent.WaitForClose(5s)) << port;
  }
  EXPECT_TRUE(Eventually([&] { return ValidatedOverTcp(*server_only_); }));
  EXPECT_TRUE(server_only_->WaitForLog("no TLS handshake within 500 ms"));
}

// biller-cli in plain text and over TLS: what it prints, its exit statuses.
TEST_F(TlsTest, CliExitStatusesFollowTheAnswers) {
  BillerProcess bypass(BillerOptions{.flags = {"--bypass=true"}});
  ASSERT_TRUE(bypass.running()) << bypass.Log();
  const std::string receipt_file = dir_ + "/receipt";
  std::ofstream(receipt_file) << MakeGooglePlayReceipt("com.example", "gem", "token-1");
  std::ofstream(dir_ + "/key") << MakeOneStoreAuthKey("id", "secret");
  const std::string tcp = "--tcp=127.0.0.1:" + std::to_string(bypass.tcp_port());
  const std::string http = "--http=http://127.0.0.1:" + std::to_string(bypass.http_port());
  const std::string https = "--http=https://127.0.0.1:" + std::to_string(server_only_->http_port());
  const std::string ok = R"(0 {"authentication":0,"result":0,"decoded_receipt":null})" "\n";
  const std::string file = " --receipt_file=" + receipt_file;
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {tcp + file, "", ok},
      {http + " --receipt_file=- --player_id=p9", MakeOneStoreReceiptV5("i", "k", "g"), ok},
      {http + " --auth_key_file=" + dir_ + "/key" + file, "", ok},
      // Over HTTP a receipt naming no store has no endpoint: a usage error.
      {http + " --receipt_file=-", R"({"service_provider": "Nowhere"})", "2 "},
      {"--tcp=127.0.0.1:" + std::to_string(FreePort()) + file, "", "2 "},
      {tcp + " " + http + file, "", "2 "},
      {tcp + " --receipt_file=/nonexistent", "", "2 "},
      {tcp + file + " --tls_ca_file=/nonexistent", "", "2 "},
      {https + file + " --tls_ca_file=" + pki_->ca, "", ok},
      {https + file + " --tls_ca_file=" + pki_->client_cert, "", "2 "},
  };
  for (const auto& [arguments, input, outcome] : cases) {
    EXPECT_EQ(RunCli(arguments, input), outcome) << arguments;
  }
}

}  // namespace
}  // namespace tvx::testing
