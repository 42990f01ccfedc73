#include "framework/jwt.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <vector>

#include "framework/clock.h"

namespace tvx::jwt {
namespace {

constexpr char kRs256Header[] = R"({"alg":"RS256","typ":"JWT"})";

// Encrypted keys are refused instead of prompting on the terminal.
int RefusePassphrase(char*, int, int, void*) { return 0; }

bool IsP256Key(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {0};
  size_t length = 0;
  return EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group),
                                        &length) == 1 &&
         std::string_view(group, length) == "prime256v1";
}

// OpenSSL's DER ECDSA-Sig-Value as the fixed-width R || S of JWS (RFC 7518,
// section 3.4).
bool DerToRawEcdsa(const unsigned char* der, size_t length, std::string* raw) {
  ECDSA_SIG* signature = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(length));
  if (!signature) return false;
  unsigned char bytes[64];
  const bool ok = BN_bn2binpad(ECDSA_SIG_get0_r(signature), bytes, 32) == 32 &&
                  BN_bn2binpad(ECDSA_SIG_get0_s(signature), bytes + 32, 32) == 32;
  ECDSA_SIG_free(signature);
  if (ok) raw->assign(reinterpret_cast<const char*>(bytes), sizeof(bytes));
  return ok;
}

}  // namespace

struct TokenSigningKey::Impl {
  ~Impl() { EVP_PKEY_free(key); }
  EVP_PKEY* key = nullptr;
  int hash_type = kSha256;
};

TokenSigningKey::TokenSigningKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TokenSigningKey::~TokenSigningKey() = default;

std::shared_ptr<TokenSigningKey> TokenSigningKey::Create(const std::string& pem, int hash_type) {
  if ((hash_type != kSha256 && hash_type != kEs256) || pem.empty()) return nullptr;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->key = PEM_read_bio_PrivateKey(bio, nullptr, &RefusePassphrase, nullptr);
  BIO_free(bio);
  // A failed parse leaves errors queued on this thread; they would confuse
  // the next OpenSSL caller.
  ERR_clear_error();
  if (!impl->key) return nullptr;
  const bool fits = hash_type == kSha256 ? EVP_PKEY_get_base_id(impl->key) == EVP_PKEY_RSA
                                         : IsP256Key(impl->key);
  ERR_clear_error();
  if (!fits) return nullptr;
  impl->hash_type = hash_type;
  return std::shared_ptr<TokenSigningKey>(new TokenSigningKey(std::move(impl)));
}

bool TokenSigningKey::Sign(std::string_view data, std::string* signature) const {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (!context) return false;
  bool signed_ok = false;
  size_t length = 0;
  if (EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, impl_->key) == 1 &&
      EVP_DigestSign(context, nullptr, &length,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1) {
    std::vector<unsigned char> bytes(length);
    if (EVP_DigestSign(context, bytes.data(), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1) {
      if (impl_->hash_type == kEs256) {
        signed_ok = DerToRawEcdsa(bytes.data(), length, signature);
      } else {
        signature->assign(reinterpret_cast<const char*>(bytes.data()), length);
        signed_ok = true;
      }
    }
  }
  EVP_MD_CTX_free(context);
  if (!signed_ok) ERR_clear_error();
  return signed_ok;
}

int TokenSigningKey::hash_type() const { return impl_->hash_type; }

bool MakeJwt(const Json& claims, const TokenSigningKey& key, int64_t lifetime_seconds,
             std::string* jwt) {
  return MakeJwt(claims, key, lifetime_seconds, WallClock::ToSeconds(WallClock::Now()), jwt);
}

bool MakeJwt(const Json& claims, const TokenSigningKey& key, int64_t lifetime_seconds,
             int64_t issued_at, std::string* jwt) {
  if (!claims.IsObject() || lifetime_seconds <= 0 || key.hash_type() != kSha256) return false;
  Json payload = claims;
  payload.SetAttribute("iat", Json(issued_at));
  payload.SetAttribute("exp", Json(issued_at + lifetime_seconds));
  std::string signing_input =
      Base64UrlEncode(kRs256Header) + "." + Base64UrlEncode(payload.ToString(false));
  std::string signature;
  if (!key.Sign(signing_input, &signature)) return false;
  *jwt = signing_input + "." + Base64UrlEncode(signature);
  return true;
}

bool MakeJws(const Json& header, const Json& claims, const TokenSigningKey& key,
             std::string* jws) {
  if (!header.IsObject() || !claims.IsObject()) return false;
  const char* alg = key.hash_type() == kEs256 ? "ES256" : "RS256";
  if (!header.HasAttribute("alg", Json::kString) || header.GetString("alg") != alg) return false;
  std::string signing_input =
      Base64UrlEncode(header.ToString(false)) + "." + Base64UrlEncode(claims.ToString(false));
  std::string signature;
  if (!key.Sign(signing_input, &signature)) return false;
  *jws = signing_input + "." + Base64UrlEncode(signature);
  return true;
}

std::string Base64UrlEncode(std::string_view bytes) {
  if (bytes.empty()) return std::string();
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(written));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

bool Base64UrlDecode(std::string_view text, std::string* bytes) {
  while (!text.empty() && text.back() == '=') text.remove_suffix(1);
  if (text.size() % 4 == 1) return false;
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-') {
      c = '+';
    } else if (c == '_') {
      c = '/';
    } else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) {
      return false;
    }
  }
  const size_t padding = (4 - standard.size() % 4) % 4;
  standard.append(padding, '=');
  if (standard.empty()) {
    bytes->clear();
    return true;
  }
  std::string decoded(standard.size() / 4 * 3, '\0');
  const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                      reinterpret_cast<const unsigned char*>(standard.data()),
                                      static_cast<int>(standard.size()));
  if (written < 0) return false;
  // EVP_DecodeBlock counts the bytes the padding stands for.
  decoded.resize(static_cast<size_t>(written) - padding);
  *bytes = std::move(decoded);
  return true;
}

}  // namespace tvx::jwt
