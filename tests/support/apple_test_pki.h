// A certificate authority shaped like Apple's, made at test time with
// OpenSSL: a root, an intermediate carrying Apple's intermediate OID and a
// leaf carrying Apple's leaf OID, all EC P-256, plus the wrong chains the
// verifier must refuse. Signs payloads as Apple signs transactions (ES256
// JWS with the chain in "x5c"), and makes the App Store Connect key pair of
// the server API's authentication tokens.
#ifndef TESTS_SUPPORT_APPLE_TEST_PKI_H_
#define TESTS_SUPPORT_APPLE_TEST_PKI_H_

#include <cstdint>
#include <memory>
#include <string>

#include "framework/json.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {

// An EC P-256 key pair as PEM texts ("BEGIN PRIVATE KEY" as in an App Store
// Connect .p8 file, "BEGIN PUBLIC KEY").
using EcKeyPair = PemKeyPair;
EcKeyPair GenerateEcKeyPair();
// True when `signature` (64 bytes R || S) is the ES256 signature of `data`.
bool VerifyEs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature);

class AppleTestPki {
 public:
  // The chain a JWS carries.
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
    int x5c_count = 3;            // the first certificates of the chain
    bool flip_signature = false;  // one bit of the signature changed
  };

  // Made once per process (key generation is slow under the sanitizers).
  static const AppleTestPki& Get();

  std::string root_pem() const;
  std::string other_root_pem() const;

  // A compact JWS of `payload` signed by the chain's leaf.
  std::string Sign(const Json& payload, const SignOptions& options) const;
  std::string Sign(const Json& payload) const { return Sign(payload, SignOptions{}); }

  // A transaction payload as Apple signs it (JWSTransactionDecodedPayload).
  static Json Transaction(const std::string& transaction_id, const std::string& product_id,
                          const std::string& bundle_id, const std::string& environment,
                          int64_t signed_date_ms);

  ~AppleTestPki();

 private:
  AppleTestPki();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Milliseconds since 1970, now.
int64_t NowMillis();

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_APPLE_TEST_PKI_H_
