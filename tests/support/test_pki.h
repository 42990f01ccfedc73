// Certificates made at test time with OpenSSL, and a small PKI for TLS tests:
// a CA, a server certificate for 127.0.0.1 and localhost, a client
// certificate of the same CA, and a client certificate of another CA, written
// as PEM files into a folder.
#ifndef TESTS_SUPPORT_TEST_PKI_H_
#define TESTS_SUPPORT_TEST_PKI_H_

#include <openssl/types.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tvx::testing {

struct TestPki {
  std::string ca;  // the CA certificate that signed the server and client certificates
  std::string server_cert, server_key;
  std::string client_cert, client_key;
  std::string other_client_cert, other_client_key;  // signed by another CA
};

// Writes the files into `dir`, which must exist.
TestPki MakeTestPki(const std::string& dir);

// What `write` (e.g. PEM_write_bio_X509) puts into a memory BIO.
std::string PemText(const std::function<int(BIO*)>& write);

struct TestCertificate {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> x509;
};
// An EC P-256 certificate for a new key, subject "O=Biller Test, CN=<name>",
// signed by `issuer` (self-signed when null); `extensions` as in openssl.cnf,
// e.g. "basicConstraints=critical,CA:TRUE" or "1.2.3.4=DER:05:00".
TestCertificate MakeTestCertificate(const std::string& name, const TestCertificate* issuer,
                                     const std::vector<std::string>& extensions,
                                     time_t not_before, time_t not_after);

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_TEST_PKI_H_
