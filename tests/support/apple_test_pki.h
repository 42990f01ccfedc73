// A certificate authority shaped like Apple's (root, intermediate and leaf
// with Apple's OIDs, EC P-256) and wrong chains, signing JWS as Apple does.
#ifndef TESTS_SUPPORT_APPLE_TEST_PKI_H_
#define TESTS_SUPPORT_APPLE_TEST_PKI_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {

// EC P-256, the private key as in an App Store Connect .p8 file.
using EcKeyPair = PemKeyPair;
EcKeyPair GenerateEcKeyPair();
// `signature`: 64 bytes R || S.
bool VerifyEs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature);

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

  std::string root_pem() const;
  std::string other_root_pem() const;

  // Signed by the chain's leaf.
  std::string Sign(const Json& payload, const SignOptions& options) const;
  std::string Sign(const Json& payload) const { return Sign(payload, SignOptions{}); }

  // A JWSTransactionDecodedPayload.
  static Json Transaction(const std::string& transaction_id, const std::string& product_id,
                          const std::string& bundle_id, const std::string& environment,
                          int64_t signed_date_ms);

  ~AppleTestPki();

 private:
  AppleTestPki();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

int64_t NowMillis();

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_APPLE_TEST_PKI_H_
