// Verification of signed data in the form Apple signs it (App Store
// transactions, renewal information, server notifications): a compact JWS
// with "alg" ES256 whose header's "x5c" carries the signing certificate
// chain, leaf first. The chain is checked on OpenSSL's X.509 API against
// roots the operator configures; the certificate in "x5c" that claims to be
// the root is never trusted as such.
#ifndef FRAMEWORK_JWS_H_
#define FRAMEWORK_JWS_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/json.h"

namespace tvx::jws {

// Extensions Apple puts on the certificates of its signing chain.
inline constexpr char kAppleLeafOid[] = "1.2.840.113635.100.6.11.1";
inline constexpr char kAppleIntermediateOid[] = "1.2.840.113635.100.6.2.1";

// The outcome of one verification: the payload when `ok`, otherwise a short
// text saying which check refused the data (safe to log: it quotes nothing
// of the data).
struct Verified {
  bool ok = false;
  Json payload;
  std::string refusal;
};

// Immutable once made; Verify may run on any number of threads at once.
class SignedDataVerifier {
 public:
  struct Options {
    std::vector<std::string> root_pems;  // PEM texts, at least one
    std::string leaf_oid = kAppleLeafOid;
    std::string intermediate_oid = kAppleIntermediateOid;
    // The payload member holding the signing time in milliseconds since
    // 1970; the chain must be valid at that time.
    std::string signed_date_member = "signedDate";
  };

  // Null, with `error` saying why (which root could not be read), when a
  // root text is not a PEM certificate, there is none, or an OID is not one.
  static std::shared_ptr<const SignedDataVerifier> Create(const Options& options,
                                                          std::string* error);

  ~SignedDataVerifier();
  SignedDataVerifier(const SignedDataVerifier&) = delete;
  SignedDataVerifier& operator=(const SignedDataVerifier&) = delete;

  // Accepts `jws` only when: it is three base64url parts; the header is an
  // object whose "alg" is "ES256" and whose "x5c" holds exactly three base64
  // DER certificates; the payload is an object with an integer signed date;
  // the leaf and the intermediate of "x5c" chain, under OpenSSL's strict
  // checks, to one of the configured roots, valid at the signed date; the
  // leaf and the intermediate carry their OIDs; the leaf's key is EC P-256
  // and the 64-byte R || S signature over "header.payload" verifies with it.
  // Never throws.
  Verified Verify(std::string_view jws) const;

 private:
  struct Impl;
  explicit SignedDataVerifier(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// JWS's R || S (two 32-byte big-endian numbers) as OpenSSL's DER
// ECDSA-Sig-Value. False when `raw` is not 64 bytes.
bool RawEcdsaSignatureToDer(std::string_view raw, std::string* der);

}  // namespace tvx::jws

#endif  // FRAMEWORK_JWS_H_
