// A small PKI made at test time for TLS tests: a CA, a server certificate for
// 127.0.0.1 and localhost, a client certificate of the same CA, and a client
// certificate of another CA, written as PEM files into a folder.
#ifndef TESTS_SUPPORT_TEST_PKI_H_
#define TESTS_SUPPORT_TEST_PKI_H_

#include <string>

namespace tvx::testing {

struct TestPki {
  std::string ca;  // the CA certificate that signed the server and client certificates
  std::string server_cert, server_key;
  std::string client_cert, client_key;
  std::string other_client_cert, other_client_key;  // signed by another CA
};

// Writes the files into `dir`, which must exist.
TestPki MakeTestPki(const std::string& dir);

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_TEST_PKI_H_
