#include "framework/jws.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <array>

#include "framework/jwt.h"

namespace tvx::jws {
namespace {

struct X509Free {
  void operator()(X509* c) const { X509_free(c); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

Verified Refuse(std::string why) {
  // A refused input may leave errors queued on this thread; they would
  // confuse the next OpenSSL caller.
  ERR_clear_error();
  Verified result;
  result.refusal = std::move(why);
  return result;
}

// Standard base64 with padding, as "x5c" carries it (RFC 7515, 4.1.6).
bool DecodeStandardBase64(std::string_view text, std::string* bytes) {
  if (text.empty() || text.find_first_of("-_") != std::string_view::npos) return false;
  std::string url(text);
  for (char& c : url) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return jwt::Base64UrlDecode(url, bytes);
}

X509Ptr ParseDer(const std::string& der) {
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  // Bytes after the certificate mean it is not one DER certificate.
  if (certificate &&
      cursor != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
    return nullptr;
  }
  return certificate;
}

bool HasExtension(X509* certificate, const ASN1_OBJECT* oid) {
  return X509_get_ext_by_OBJ(certificate, oid, -1) >= 0;
}

bool IsP256(EVP_PKEY* key) {
  if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {0};
  size_t length = 0;
  return EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group),
                                        &length) == 1 &&
         std::string_view(group, length) == "prime256v1";
}

bool VerifyEs256(EVP_PKEY* key, std::string_view data, const std::string& der_signature) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (!context) return false;
  const bool ok =
      EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
      EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(der_signature.data()),
                       der_signature.size(), reinterpret_cast<const unsigned char*>(data.data()),
                       data.size()) == 1;
  EVP_MD_CTX_free(context);
  return ok;
}

}  // namespace

struct SignedDataVerifier::Impl {
  ~Impl() {
    X509_STORE_free(roots);
    ASN1_OBJECT_free(leaf_oid);
    ASN1_OBJECT_free(intermediate_oid);
  }
  X509_STORE* roots = nullptr;
  ASN1_OBJECT* leaf_oid = nullptr;
  ASN1_OBJECT* intermediate_oid = nullptr;
  std::string signed_date_member;
};

SignedDataVerifier::SignedDataVerifier(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SignedDataVerifier::~SignedDataVerifier() = default;

std::shared_ptr<const SignedDataVerifier> SignedDataVerifier::Create(const Options& options,
                                                                     std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->signed_date_member = options.signed_date_member;
  impl->leaf_oid = OBJ_txt2obj(options.leaf_oid.c_str(), 1);
  impl->intermediate_oid = OBJ_txt2obj(options.intermediate_oid.c_str(), 1);
  impl->roots = X509_STORE_new();
  if (!impl->leaf_oid || !impl->intermediate_oid || !impl->roots) {
    ERR_clear_error();
    *error = "the certificate OIDs cannot be used";
    return nullptr;
  }
  if (options.root_pems.empty()) {
    *error = "no root certificate";
    return nullptr;
  }
  for (size_t i = 0; i < options.root_pems.size(); ++i) {
    const std::string& pem = options.root_pems[i];
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509Ptr root(bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr);
    BIO_free(bio);
    ERR_clear_error();
    if (!root || X509_STORE_add_cert(impl->roots, root.get()) != 1) {
      ERR_clear_error();
      *error = "root certificate " + std::to_string(i) + " is not a PEM certificate";
      return nullptr;
    }
  }
  return std::shared_ptr<const SignedDataVerifier>(new SignedDataVerifier(std::move(impl)));
}

Verified SignedDataVerifier::Verify(std::string_view jws) const {
  const size_t first = jws.find('.');
  const size_t second = first == std::string_view::npos ? first : jws.find('.', first + 1);
  if (second == std::string_view::npos || jws.find('.', second + 1) != std::string_view::npos) {
    return Refuse("not a compact JWS");
  }
  std::string header_text, payload_text, raw_signature;
  Json header, payload;
  if (!jwt::Base64UrlDecode(jws.substr(0, first), &header_text) ||
      !header.FromString(header_text) || !header.IsObject()) {
    return Refuse("unreadable header");
  }
  if (!header.HasAttribute("alg", Json::kString) || header.GetString("alg") != "ES256") {
    return Refuse("alg is not ES256");
  }
  const Json x5c = header["x5c"];
  if (!x5c.IsArray() || x5c.Size() != 3) return Refuse("x5c does not hold three certificates");
  std::array<X509Ptr, 3> chain;
  for (size_t i = 0; i < chain.size(); ++i) {
    std::string der;
    if (!x5c[i].IsString() || !DecodeStandardBase64(x5c[i].GetString(), &der) ||
        !(chain[i] = ParseDer(der))) {
      return Refuse("x5c[" + std::to_string(i) + "] is not a DER certificate");
    }
  }
  if (!jwt::Base64UrlDecode(jws.substr(first + 1, second - first - 1), &payload_text) ||
      !payload.FromString(payload_text) || !payload.IsObject()) {
    return Refuse("unreadable payload");
  }
  if (!payload.HasAttribute(impl_->signed_date_member, Json::kInteger)) {
    return Refuse("no " + impl_->signed_date_member + " in the payload");
  }
  const time_t signed_at =
      static_cast<time_t>(payload.GetInteger(impl_->signed_date_member) / 1000);

  // The leaf with the intermediate as the only untrusted help; x5c[2] plays
  // no part, so only a configured root can end the chain.
  X509* leaf = chain[0].get();
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  bool chained = false;
  std::string why = "certificate chain not verified";
  if (untrusted && context && sk_X509_push(untrusted, chain[1].get()) > 0 &&
      X509_STORE_CTX_init(context, impl_->roots, leaf, untrusted) == 1) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_X509_STRICT | X509_V_FLAG_CHECK_SS_SIGNATURE);
    X509_VERIFY_PARAM_clear_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    X509_VERIFY_PARAM_set_time(param, signed_at);
    if (X509_verify_cert(context) == 1) {
      STACK_OF(X509)* built = X509_STORE_CTX_get0_chain(context);
      // Leaf, the intermediate of x5c, a configured root: nothing shorter.
      chained = built && sk_X509_num(built) == 3 && X509_cmp(sk_X509_value(built, 1),
                                                             chain[1].get()) == 0;
      if (!chained) why = "certificate chain is not leaf, intermediate, root";
    } else {
      why = std::string("certificate chain not verified: ") +
            X509_verify_cert_error_string(X509_STORE_CTX_get_error(context));
    }
  }
  X509_STORE_CTX_free(context);
  sk_X509_free(untrusted);  // the certificates stay with `chain`
  if (!chained) return Refuse(why);

  if (!HasExtension(leaf, impl_->leaf_oid)) return Refuse("leaf certificate lacks its OID");
  if (!HasExtension(chain[1].get(), impl_->intermediate_oid)) {
    return Refuse("intermediate certificate lacks its OID");
  }
  EVP_PKEY* key = X509_get0_pubkey(leaf);
  if (!IsP256(key)) return Refuse("leaf key is not EC P-256");
  std::string der_signature;
  if (!jwt::Base64UrlDecode(jws.substr(second + 1), &raw_signature) ||
      !RawEcdsaSignatureToDer(raw_signature, &der_signature)) {
    return Refuse("signature is not 64 bytes");
  }
  if (!VerifyEs256(key, jws.substr(0, second), der_signature)) {
    return Refuse("signature does not verify");
  }
  Verified result;
  result.ok = true;
  result.payload = std::move(payload);
  return result;
}

bool RawEcdsaSignatureToDer(std::string_view raw, std::string* der) {
  if (raw.size() != 64) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  BIGNUM* r = BN_bin2bn(bytes, 32, nullptr);
  BIGNUM* s = BN_bin2bn(bytes + 32, 32, nullptr);
  ECDSA_SIG* signature = ECDSA_SIG_new();
  if (!r || !s || !signature || ECDSA_SIG_set0(signature, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    ECDSA_SIG_free(signature);
    return false;
  }
  unsigned char* out = nullptr;
  const int length = i2d_ECDSA_SIG(signature, &out);
  ECDSA_SIG_free(signature);  // frees r and s too
  if (length <= 0) return false;
  der->assign(reinterpret_cast<const char*>(out), static_cast<size_t>(length));
  OPENSSL_free(out);
  return true;
}

}  // namespace tvx::jws
