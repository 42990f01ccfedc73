// Small cryptographic helpers for handling client credentials: a keyed digest
// that names a set of credentials without keeping them, and the size of an
// RSA private key, read without signing anything.
#ifndef FRAMEWORK_CREDENTIAL_CRYPTO_H_
#define FRAMEWORK_CREDENTIAL_CRYPTO_H_

#include <string>
#include <string_view>

namespace tvx::crypto {

// HMAC-SHA256 of `data` under a key drawn at random once per process, as 64
// lowercase hexadecimal digits. Equal inputs give equal digests within one
// process; the digest cannot be reversed or precomputed by anyone outside it.
std::string KeyedDigest(std::string_view data);

// SHA-256 of `data` as 64 lowercase hexadecimal digits.
std::string Sha256Hex(std::string_view data);

// The modulus size in bits of an unencrypted RSA private key in PEM text;
// 0 when the text is not such a key.
int RsaPrivateKeyBits(const std::string& pem);

// True when the texts are equal, in a time that depends on their lengths
// only (for comparing a secret a client sends).
bool ConstantTimeEquals(std::string_view a, std::string_view b);

}  // namespace tvx::crypto

#endif  // FRAMEWORK_CREDENTIAL_CRYPTO_H_
