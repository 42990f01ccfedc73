// TLS on the TCP protobuf and HTTP listeners: what a client must present,
// and that a peer that never completes a handshake cannot hold a place.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <array>
#include <fstream>
#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include "build_paths.h"
#include "framework/billing_store.h"
#include "framework/tcp.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"
#include "tests/support/http_test_client.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

namespace asio = boost::asio;

struct ClientTls {
  std::string cert{}, key{};  // empty: no client certificate
  bool tls11 = false;         // offer TLS 1.1 and nothing else
};

// Handshakes with 127.0.0.1:port trusting the test CA, writes `request` and
// reads until `whole` holds, the peer closes or 10 s pass. The bytes
// received: none when the handshake or the request failed.
std::string TlsExchange(int port, const TestPki& pki, const ClientTls& client,
                        const std::string& request,
                        const std::function<bool(const std::string&)>& whole) {
  asio::io_context io;
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.load_verify_file(pki.ca);
  context.set_verify_mode(asio::ssl::verify_peer);
  if (!client.cert.empty()) {
    context.use_certificate_chain_file(client.cert);
    context.use_private_key_file(client.key, asio::ssl::context::pem);
  }
  if (client.tls11) {
    SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_1_VERSION);
    SSL_CTX_set_max_proto_version(context.native_handle(), TLS1_1_VERSION);
    SSL_CTX_set_cipher_list(context.native_handle(), "DEFAULT:@SECLEVEL=0");
  }
  asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
  std::string received;
  std::array<char, 4096> buffer;
  std::function<void()> read = [&] {
    stream.async_read_some(asio::buffer(buffer), [&](boost::system::error_code ec, size_t n) {
      received.append(buffer.data(), n);
      if (!ec && !whole(received)) read();
    });
  };
  const asio::ip::tcp::endpoint server(asio::ip::make_address("127.0.0.1"), port);
  stream.next_layer().async_connect(server, [&](boost::system::error_code ec) {
    if (ec) return;
    stream.async_handshake(asio::ssl::stream_base::client, [&](boost::system::error_code ec) {
      if (ec) return;
      asio::async_write(stream, asio::buffer(request), [&](boost::system::error_code ec, size_t) {
        if (!ec) read();
      });
    });
  });
  io.run_for(std::chrono::seconds(10));
  return received;
}

// True when a validation over TCP is answered with success, or an
// authentication over HTTP with 200.
bool Answered(const BillerProcess& biller, bool tcp, const TestPki& pki, const ClientTls& client) {
  if (!tcp) {
    return TlsExchange(biller.http_port(), pki, client,
                       MakeHttpRequest("POST", "/v1/authentication", R"({"biller_client_id": "c"})",
                                       "Content-Type: application/json\r\nConnection: close\r\n"),
                       [](const std::string&) { return false; })
        .starts_with("HTTP/1.1 200");
  }
  const std::string request = MakeValidationRequest("{}").SerializeAsString();
  const std::string reply = TlsExchange(
      biller.tcp_port(), pki, client, framing::EncodeFrame(request), [](const std::string& bytes) {
        framing::FrameDecoder decoder(1 << 20);
        std::string body;
        decoder.Append(bytes.data(), bytes.size());
        return decoder.Next(&body) == framing::FrameDecoder::Result::kFrame;
      });
  Biller::Response response;
  return reply.size() > framing::kHeaderBytes &&
         response.ParseFromString(reply.substr(framing::kHeaderBytes)) &&
         response.receipt_validation().result() == Biller::ReceiptValidation_Response::kSuccess;
}

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Each test runs in a process of its own, in parallel: one folder each.
    const std::string dir = ::testing::TempDir() + "/tls-" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    pki_ = new TestPki(MakeTestPki(dir));
    const std::vector<std::string> tls = {"--bypass=true", "--tls_cert_file=" + pki_->server_cert,
                                          "--tls_key_file=" + pki_->server_key};
    auto server_only = tls, mutual = tls;
    server_only.insert(server_only.end(),
                       {"--tcp_frame_timeout_ms=500", "--tcp_max_connections=1"});
    mutual.push_back("--tls_client_ca_file=" + pki_->ca);
    server_only_ = new BillerProcess(BillerOptions{.flags = server_only});
    mutual_ = new BillerProcess(BillerOptions{.flags = mutual});
  }
  static void TearDownTestSuite() {
    delete server_only_;
    delete mutual_;
    delete pki_;
  }

  static inline TestPki* pki_ = nullptr;
  static inline BillerProcess* server_only_ = nullptr;
  static inline BillerProcess* mutual_ = nullptr;
};

TEST_F(TlsTest, ClientsMustSpeakTheTlsTheServerAsksFor) {
  ASSERT_TRUE(server_only_->running()) << server_only_->Log();
  ASSERT_TRUE(mutual_->running()) << mutual_->Log();
  const ClientTls none, right{pki_->client_cert, pki_->client_key},
      other{pki_->other_client_cert, pki_->other_client_key}, tls11{"", "", true};
  const struct {
    const char* name;
    BillerProcess* biller;
    ClientTls client;
    bool answered;
  } cases[] = {
      {"server certificate only", server_only_, none, true},
      {"TLS 1.1", server_only_, tls11, false},
      {"mutual, no client certificate", mutual_, none, false},
      {"mutual, certificate of another CA", mutual_, other, false},
      {"mutual, certificate of the right CA", mutual_, right, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // A refused client is refused at once; an accepted one may find the
    // single place of `server_only_` still held by the previous client.
    auto tcp = [&] { return Answered(*c.biller, true, *pki_, c.client); };
    EXPECT_EQ(c.answered ? Eventually(tcp) : tcp(), c.answered);
    EXPECT_EQ(Answered(*c.biller, false, *pki_, c.client), c.answered);
  }
  EXPECT_TRUE(mutual_->WaitForLog("TLS handshake with 127.0.0.1:")) << mutual_->Log();
}

// Plain-text clients get no answer; a silent peer is closed within the frame
// timeout and frees the single place of the TCP listener.
TEST_F(TlsTest, PlainAndSilentPeersAreClosedAndFreeTheirPlace) {
  TcpClient plain;
  ASSERT_TRUE(plain.Connect(server_only_->tcp_port()));
  ASSERT_TRUE(plain.Send(MakeValidationRequest("{}")));
  Biller::Response response;
  EXPECT_FALSE(plain.Receive(&response, 3s));
  EXPECT_EQ(HttpPost(server_only_->http_port(), "/v1/authentication", "{}", 3s).status, 0);
  for (int port : {server_only_->tcp_port(), server_only_->http_port()}) {
    TcpClient silent;
    ASSERT_TRUE(silent.Connect(port));
    EXPECT_TRUE(silent.WaitForClose(5s)) << port;
  }
  EXPECT_TRUE(Eventually([&] { return Answered(*server_only_, true, *pki_, {}); }));
  EXPECT_TRUE(server_only_->WaitForLog("no TLS handshake within 500 ms"));
}

TEST_F(TlsTest, StartupRefusesUnusableTlsFlags) {
  const std::string cert = "--tls_cert_file=" + pki_->server_cert;
  const std::string key = "--tls_key_file=" + pki_->server_key;
  const struct {
    std::vector<std::string> flags;
    std::string message;
  } cases[] = {
      {{cert}, "--tls_cert_file is set without --tls_key_file"},
      {{key}, "--tls_key_file is set without --tls_cert_file"},
      {{"--tls_cert_file=/nonexistent", key}, "--tls_cert_file=/nonexistent: cannot load"},
      {{cert, "--tls_key_file=" + pki_->client_key}, "--tls_key_file=" + pki_->client_key},
      {{cert, key, "--tls_client_ca_file=/nonexistent"}, "--tls_client_ca_file=/nonexistent"},
  };
  for (const auto& c : cases) {
    const std::string log =
        RunUntilRefused(BillerOptions{.flags = c.flags, .with_database = false});
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
  }
}

TEST_F(TlsTest, CliSpeaksTls) {
  const std::string receipt =
      ::testing::TempDir() + "/tls-cli-receipt-" + std::to_string(::getpid()) + ".json";
  std::ofstream(receipt) << MakeGooglePlayReceipt("com.example", "gem", "token-1");
  const std::string tcp = "--tcp=127.0.0.1:" + std::to_string(mutual_->tcp_port());
  const std::string https = "--http=https://127.0.0.1:" + std::to_string(server_only_->http_port());
  const std::string ca = " --tls_ca_file=" + pki_->ca;
  const std::string cert =
      " --tls_cert_file=" + pki_->client_cert + " --tls_key_file=" + pki_->client_key;
  const std::pair<std::string, int> cases[] = {
      {tcp + ca + cert, 0},
      {https + ca, 0},
      {tcp + ca, 2},                                      // no client certificate
      {https + " --tls_ca_file=" + pki_->client_cert, 2},  // not the server's CA
  };
  for (const auto& [arguments, exit_status] : cases) {
    const int status = std::system((std::string(BILLER_CLI_PATH) + " " + arguments +
                                    " --receipt_file=" + receipt + " >/dev/null 2>&1")
                                       .c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, exit_status) << arguments;
  }
}

}  // namespace
}  // namespace tvx::testing
