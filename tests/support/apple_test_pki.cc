#include "tests/support/apple_test_pki.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>

#include <glog/logging.h>

#include "framework/base64.h"
#include "framework/jwt.h"
#include "framework/jws.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

// 2015-01-01, 2020-01-01, 2020-12-31 and 2045-01-01 UTC.
constexpr time_t k2015 = 1420070400;
constexpr time_t k2020 = 1577836800;
constexpr time_t kEnd2020 = 1609372800;
constexpr time_t k2045 = 2366755200;

EVP_PKEY* NewP256Key() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  CHECK(key) << "EC key generation failed";
  return key;
}

std::string PemOf(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  CHECK(PEM_write_bio_X509(bio, certificate) == 1);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(size));
  BIO_free(bio);
  return pem;
}

std::string DerBase64Of(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  CHECK(length > 0);
  std::string text = Base64Encode(std::string_view(reinterpret_cast<char*>(der), length));
  OPENSSL_free(der);
  return text;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  CHECK(extension) << "extension " << nid << "=" << value;
  CHECK(X509_add_ext(certificate, extension, -1) == 1);
  X509_EXTENSION_free(extension);
}

// An extension of Apple's kind: the OID, not critical, a DER NULL value.
void AddOidExtension(X509* certificate, const char* oid) {
  ASN1_OBJECT* object = OBJ_txt2obj(oid, 1);
  ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
  static const unsigned char kDerNull[] = {0x05, 0x00};
  CHECK(object && value && ASN1_OCTET_STRING_set(value, kDerNull, sizeof(kDerNull)) == 1);
  X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, object, 0, value);
  CHECK(extension);
  CHECK(X509_add_ext(certificate, extension, -1) == 1);
  X509_EXTENSION_free(extension);
  ASN1_OCTET_STRING_free(value);
  ASN1_OBJECT_free(object);
}

struct Certificate {
  X509* x509 = nullptr;
  EVP_PKEY* key = nullptr;
};

enum class Kind { kRoot, kIntermediate, kLeaf };

// A certificate for a new key, signed by `issuer` (itself for a root).
Certificate Issue(const std::string& common_name, Kind kind, const Certificate* issuer,
                  const char* oid, time_t not_before, time_t not_after,
                  bool authority_key_id = true) {
  static long serial = 1;
  Certificate made;
  made.key = NewP256Key();
  made.x509 = X509_new();
  X509* x = made.x509;
  CHECK(X509_set_version(x, X509_VERSION_3) == 1);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  ASN1_TIME_set(X509_getm_notBefore(x), not_before);
  ASN1_TIME_set(X509_getm_notAfter(x), not_after);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Biller Test"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  X509* issuer_x509 = issuer ? issuer->x509 : x;
  CHECK(X509_set_issuer_name(x, X509_get_subject_name(issuer_x509)) == 1);
  CHECK(X509_set_pubkey(x, made.key) == 1);
  if (kind == Kind::kLeaf) {
    AddExtension(x, issuer_x509, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(x, issuer_x509, NID_key_usage, "critical,digitalSignature");
  } else {
    AddExtension(x, issuer_x509, NID_basic_constraints,
                 kind == Kind::kRoot ? "critical,CA:TRUE" : "critical,CA:TRUE,pathlen:0");
    AddExtension(x, issuer_x509, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  AddExtension(x, issuer_x509, NID_subject_key_identifier, "hash");
  if (kind != Kind::kRoot && authority_key_id) {
    AddExtension(x, issuer_x509, NID_authority_key_identifier, "keyid:always");
  }
  if (oid) AddOidExtension(x, oid);
  CHECK(X509_sign(x, issuer ? issuer->key : made.key, EVP_sha256()) > 0);
  return made;
}

}  // namespace

EcKeyPair GenerateEcKeyPair() {
  EVP_PKEY* key = NewP256Key();
  EcKeyPair pair = PemKeyPairOf(key);
  EVP_PKEY_free(key);
  return pair;
}

bool VerifyEs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature) {
  std::string der;
  return jws::RawEcdsaSignatureToDer(signature, &der) && VerifyRs256(public_pem, data, der);
}

struct AppleTestPki::Impl {
  ~Impl() {
    for (Certificate* c : {&root, &intermediate, &leaf, &other_root, &other_intermediate,
                           &other_leaf, &leaf_without_oid, &leaf_without_akid, &bare_intermediate, &bare_leaf,
                           &expired_leaf}) {
      X509_free(c->x509);
      EVP_PKEY_free(c->key);
    }
  }
  Certificate root, intermediate, leaf;
  Certificate other_root, other_intermediate, other_leaf;
  Certificate leaf_without_oid;
  Certificate leaf_without_akid;
  Certificate bare_intermediate, bare_leaf;
  Certificate expired_leaf;
};

AppleTestPki::AppleTestPki() : impl_(std::make_unique<Impl>()) {
  Impl& p = *impl_;
  p.root = Issue("Test Root CA - G3", Kind::kRoot, nullptr, nullptr, k2015, k2045);
  p.intermediate = Issue("Test Worldwide Developer Relations CA", Kind::kIntermediate, &p.root,
                         jws::kAppleIntermediateOid, k2015, k2045);
  p.leaf = Issue("Test Store Receipt Signing", Kind::kLeaf, &p.intermediate, jws::kAppleLeafOid,
                 k2015, k2045);
  p.other_root = Issue("Other Root CA", Kind::kRoot, nullptr, nullptr, k2015, k2045);
  p.other_intermediate = Issue("Other Intermediate", Kind::kIntermediate, &p.other_root,
                               jws::kAppleIntermediateOid, k2015, k2045);
  p.other_leaf = Issue("Other Receipt Signing", Kind::kLeaf, &p.other_intermediate,
                       jws::kAppleLeafOid, k2015, k2045);
  p.leaf_without_oid =
      Issue("Leaf Without OID", Kind::kLeaf, &p.intermediate, nullptr, k2015, k2045);
  p.leaf_without_akid = Issue("Leaf Without Authority Key Id", Kind::kLeaf, &p.intermediate,
                              jws::kAppleLeafOid, k2015, k2045, false);
  p.bare_intermediate =
      Issue("Intermediate Without OID", Kind::kIntermediate, &p.root, nullptr, k2015, k2045);
  p.bare_leaf = Issue("Leaf Of Intermediate Without OID", Kind::kLeaf, &p.bare_intermediate,
                      jws::kAppleLeafOid, k2015, k2045);
  p.expired_leaf = Issue("Expired Receipt Signing", Kind::kLeaf, &p.intermediate,
                         jws::kAppleLeafOid, k2020, kEnd2020);
}

AppleTestPki::~AppleTestPki() = default;

const AppleTestPki& AppleTestPki::Get() {
  static const AppleTestPki* pki = new AppleTestPki();
  return *pki;
}

std::string AppleTestPki::root_pem() const { return PemOf(impl_->root.x509); }
std::string AppleTestPki::other_root_pem() const { return PemOf(impl_->other_root.x509); }

std::string AppleTestPki::Sign(const Json& payload, const SignOptions& options) const {
  const Impl& p = *impl_;
  const Certificate* chain[3] = {&p.leaf, &p.intermediate, &p.root};
  switch (options.chain) {
    case Chain::kGood:
      break;
    case Chain::kOtherRoot:
      chain[0] = &p.other_leaf;
      chain[1] = &p.other_intermediate;
      chain[2] = &p.other_root;
      break;
    case Chain::kLeafWithoutOid:
      chain[0] = &p.leaf_without_oid;
      break;
    case Chain::kLeafWithoutAuthorityKeyId:
      chain[0] = &p.leaf_without_akid;
      break;
    case Chain::kIntermediateWithoutOid:
      chain[0] = &p.bare_leaf;
      chain[1] = &p.bare_intermediate;
      break;
    case Chain::kExpiredLeaf:
      chain[0] = &p.expired_leaf;
      break;
  }
  Json x5c = Json::Array();
  for (int i = 0; i < options.x5c_count && i < 3; ++i) x5c.PushBack(DerBase64Of(chain[i]->x509));
  Json header = Json::Object();
  header.SetString("alg", options.alg);
  header.SetAttribute("x5c", x5c);
  const std::string signing_input = jwt::Base64UrlEncode(header.ToString(false)) + "." +
                                    jwt::Base64UrlEncode(payload.ToString(false));

  // Signed with the leaf's key by the framework's ES256 signer.
  auto key = jwt::TokenSigningKey::Create(PemKeyPairOf(chain[0]->key).private_pem, jwt::kEs256);
  CHECK(key);
  std::string signature;
  CHECK(key->Sign(signing_input, &signature));
  if (options.flip_signature) signature[10] ^= 0x01;
  return signing_input + "." + jwt::Base64UrlEncode(signature);
}

Json AppleTestPki::Transaction(const std::string& transaction_id, const std::string& product_id,
                               const std::string& bundle_id, const std::string& environment,
                               int64_t signed_date_ms) {
  Json t = Json::Object();
  t.SetString("transactionId", transaction_id);
  t.SetString("originalTransactionId", transaction_id);
  t.SetString("bundleId", bundle_id);
  t.SetString("productId", product_id);
  t.SetAttribute("purchaseDate", Json(static_cast<int64_t>(1551774276000)));
  t.SetAttribute("originalPurchaseDate", Json(static_cast<int64_t>(1551774276000)));
  t.SetAttribute("quantity", Json(1));
  t.SetString("type", "Consumable");
  t.SetString("inAppOwnershipType", "PURCHASED");
  t.SetAttribute("signedDate", Json(signed_date_ms));
  t.SetString("environment", environment);
  t.SetString("transactionReason", "PURCHASE");
  t.SetString("storefront", "USA");
  return t;
}

int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tvx::testing
