// JSON Web Tokens signed with RS256 (RSASSA-PKCS1-v1_5 over SHA-256), the
// form Google's token endpoint accepts as the assertion of a service
// account's JWT-bearer grant, and with ES256 (ECDSA on P-256 over SHA-256),
// the form the App Store Server API accepts.
#ifndef FRAMEWORK_JWT_H_
#define FRAMEWORK_JWT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "framework/json.h"

namespace tvx::jwt {

// Hash types of TokenSigningKey::Create.
enum HashType : int {
  kSha256 = 0,  // RS256
  kEs256 = 1,   // ECDSA on P-256 with SHA-256
};

// A private key ready to sign: RSA for kSha256, EC P-256 for kEs256.
// Immutable once made; usable from any thread.
class TokenSigningKey {
 public:
  // `pem` holds an unencrypted private key ("BEGIN PRIVATE KEY" as in a
  // Google service-account key file or an App Store Connect .p8 file, or
  // "BEGIN RSA PRIVATE KEY" / "BEGIN EC PRIVATE KEY"). Null when the text is
  // not such a key, the key does not fit `hash_type` (RSA for kSha256, EC
  // on P-256 for kEs256) or `hash_type` is unknown.
  static std::shared_ptr<TokenSigningKey> Create(const std::string& pem, int hash_type);

  ~TokenSigningKey();
  TokenSigningKey(const TokenSigningKey&) = delete;
  TokenSigningKey& operator=(const TokenSigningKey&) = delete;

  // The signature of `data` as JWS carries it: PKCS#1 v1.5 bytes for RSA,
  // the 64 bytes R || S for ES256. False when signing fails.
  bool Sign(std::string_view data, std::string* signature) const;

  // kSha256 or kEs256, as the key was made.
  int hash_type() const;

 private:
  struct Impl;
  explicit TokenSigningKey(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// A compact JWT: base64url of the header {"alg":"RS256","typ":"JWT"}, of the
// claims object with "iat" (issue time, seconds since the epoch) and "exp"
// (iat + `lifetime_seconds`) added, and of the signature, joined by '.'.
// False, with `jwt` untouched, when the claims are not an object, the
// lifetime is not positive, the key is not an RSA key or signing fails.
bool MakeJwt(const Json& claims, const TokenSigningKey& key, int64_t lifetime_seconds,
             std::string* jwt);
// Same with an explicit issue time.
bool MakeJwt(const Json& claims, const TokenSigningKey& key, int64_t lifetime_seconds,
             int64_t issued_at, std::string* jwt);

// A compact JWS of `header` and `claims` (both objects, written as they are,
// members in their order) signed with `key`; the header's "alg" must name
// the key's algorithm ("RS256" or "ES256"). False, with `jws` untouched,
// otherwise or when signing fails.
bool MakeJws(const Json& header, const Json& claims, const TokenSigningKey& key,
             std::string* jws);

// Base64url without padding (RFC 7515, section 2).
std::string Base64UrlEncode(std::string_view bytes);
// Accepts text with or without padding; false on any other character.
bool Base64UrlDecode(std::string_view text, std::string* bytes);

}  // namespace tvx::jwt

#endif  // FRAMEWORK_JWT_H_
