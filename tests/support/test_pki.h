// Certificates made at test time with OpenSSL: a small PKI for TLS tests, and
// a certificate authority shaped like Apple's (root, intermediate and leaf
// with Apple's OIDs, EC P-256) with wrong chains, signing JWS as Apple does.
#ifndef TESTS_SUPPORT_TEST_PKI_H_
#define TESTS_SUPPORT_TEST_PKI_H_

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {

// PEM files: a CA, a server certificate for 127.0.0.1 and localhost, and client certificates.
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

// EC P-256, the private key as in an App Store Connect .p8 file.
using EcKeyPair = PemKeyPair;
EcKeyPair GenerateEcKeyPair();
// `signature`: 64 bytes R || S.
bool VerifyEs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature);

struct TestCertificate {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> x509;
};

class AppleTestPki {
 public:
  enum class Chain {
    kGood,                      // leaf and intermediate of the test root
    kOtherRoot,                 // the same shape under another root, in x5c too
    kLeafWithoutOid,            // a leaf lacking Apple's leaf OID
    kIntermediateWithoutOid,    // an intermediate lacking its OID, and its leaf
    kLeafWithoutAuthorityKeyId,  // fine but for what strict X.509 checks demand
    kExpiredLeaf,               // a leaf valid only in 2020
  };
  struct SignOptions {
    Chain chain = Chain::kGood;
    std::string alg = "ES256";
    int x5c_count = 3;  // the first certificates of the chain
    bool flip_signature = false;
  };

  // Once per process: key generation is slow under the sanitizers.
  static const AppleTestPki& Get();

  std::string root_pem(Chain chain = Chain::kGood) const;

  // Signed by the chain's leaf.
  std::string Sign(const Json& payload, const SignOptions& options) const;
  std::string Sign(const Json& payload) const { return Sign(payload, SignOptions{}); }

  // A JWSTransactionDecodedPayload.
  static Json Transaction(const std::string& transaction_id, const std::string& product_id,
                          const std::string& bundle_id, const std::string& environment,
                          int64_t signed_date_ms);

 private:
  AppleTestPki();
  std::map<Chain, std::array<TestCertificate, 3>> chains_;  // leaf, intermediate, root
};

int64_t NowMillis();

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_TEST_PKI_H_
