// JSON Web Tokens signed with RS256 (RSASSA-PKCS1-v1_5 over SHA-256), the
// form Google's token endpoint accepts as the assertion of a service
// account's JWT-bearer grant.
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
};

// An RSA private key ready to sign. Immutable once made; usable from any
// thread.
class TokenSigningKey {
 public:
  // `pem` holds an unencrypted RSA private key ("BEGIN PRIVATE KEY" as in a
  // Google service-account key file, or "BEGIN RSA PRIVATE KEY"). Null when
  // the text is not such a key or `hash_type` is unknown.
  static std::shared_ptr<TokenSigningKey> Create(const std::string& pem, int hash_type);

  ~TokenSigningKey();
  TokenSigningKey(const TokenSigningKey&) = delete;
  TokenSigningKey& operator=(const TokenSigningKey&) = delete;

  // The raw signature of `data`. False when signing fails.
  bool Sign(std::string_view data, std::string* signature) const;

 private:
  struct Impl;
  explicit TokenSigningKey(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// A compact JWT: base64url of the header {"alg":"RS256","typ":"JWT"}, of the
// claims object with "iat" (issue time, seconds since the epoch) and "exp"
// (iat + `lifetime_seconds`) added, and of the signature, joined by '.'.
// False, with `jwt` untouched, when the claims are not an object, the
// lifetime is not positive or signing fails.
bool MakeJwt(const Json& claims, const TokenSigningKey& key, int64_t lifetime_seconds,
             std::string* jwt);
// Same with an explicit issue time.
bool MakeJwt(const Json& claims, const TokenSigningKey& key, int64_t lifetime_seconds,
             int64_t issued_at, std::string* jwt);

// Base64url without padding (RFC 7515, section 2).
std::string Base64UrlEncode(std::string_view bytes);
// Accepts text with or without padding; false on any other character.
bool Base64UrlDecode(std::string_view text, std::string* bytes);

}  // namespace tvx::jwt

#endif  // FRAMEWORK_JWT_H_
