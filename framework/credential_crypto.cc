#include "framework/credential_crypto.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <array>
#include <cstdlib>

#include <glog/logging.h>

namespace tvx::crypto {
namespace {

int RefusePassphrase(char*, int, int, void*) { return 0; }

const std::array<unsigned char, 32>& ProcessKey() {
  static const std::array<unsigned char, 32> key = [] {
    std::array<unsigned char, 32> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
      LOG(FATAL) << "Assert failed: RAND_bytes";
    }
    return bytes;
  }();
  return key;
}

std::string Hex(const unsigned char* bytes, unsigned int length) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[bytes[i] >> 4]);
    hex.push_back(kHex[bytes[i] & 0x0f]);
  }
  return hex;
}

}  // namespace

std::string KeyedDigest(std::string_view data) {
  const auto& key = ProcessKey();
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &length)) {
    LOG(FATAL) << "Assert failed: HMAC";
  }
  return Hex(mac, length);
}

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    LOG(FATAL) << "Assert failed: EVP_Digest";
  }
  return Hex(digest, length);
}

int RsaPrivateKeyBits(const std::string& pem) {
  if (pem.empty()) return 0;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (!bio) return 0;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, &RefusePassphrase, nullptr);
  BIO_free(bio);
  ERR_clear_error();
  if (!key) return 0;
  const int bits = EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA ? EVP_PKEY_get_bits(key) : 0;
  EVP_PKEY_free(key);
  return bits;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace tvx::crypto
