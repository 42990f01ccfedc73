#include "tests/support/apple_test_pki.h"

#include <openssl/pem.h>

#include <array>
#include <chrono>
#include <map>

#include <glog/logging.h>

#include "framework/base64.h"
#include "framework/jwt.h"
#include "framework/jws.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

// 2015-01-01, 2020-01-01, 2020-12-31 and 2045-01-01 UTC.
constexpr time_t k2015 = 1420070400;
constexpr time_t k2020 = 1577836800;
constexpr time_t kEnd2020 = 1609372800;
constexpr time_t k2045 = 2366755200;

std::string PemOf(X509* certificate) {
  return PemText([certificate](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
}

std::string DerBase64Of(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  CHECK(length > 0);
  std::string text = Base64Encode(std::string_view(reinterpret_cast<char*>(der), length));
  OPENSSL_free(der);
  return text;
}

enum class Kind { kRoot, kIntermediate, kLeaf };

// Shaped like Apple's of its kind; `oid`, when set, as Apple's: DER NULL.
TestCertificate Issue(const std::string& common_name, Kind kind, const TestCertificate* issuer,
                      const char* oid, time_t not_before = k2015, time_t not_after = k2045,
                      bool authority_key_id = true) {
  std::vector<std::string> extensions = {
      kind == Kind::kLeaf  ? "basicConstraints=critical,CA:FALSE"
      : kind == Kind::kRoot ? "basicConstraints=critical,CA:TRUE"
                            : "basicConstraints=critical,CA:TRUE,pathlen:0",
      kind == Kind::kLeaf ? "keyUsage=critical,digitalSignature"
                          : "keyUsage=critical,keyCertSign,cRLSign",
      "subjectKeyIdentifier=hash"};
  if (kind != Kind::kRoot && authority_key_id) {
    extensions.push_back("authorityKeyIdentifier=keyid:always");
  }
  if (oid) extensions.push_back(std::string(oid) + "=DER:05:00");
  return MakeTestCertificate(common_name, issuer, extensions, not_before, not_after);
}

}  // namespace

EcKeyPair GenerateEcKeyPair() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  CHECK(key) << "EC key generation failed";
  return PemKeyPairOf(key.get());
}

bool VerifyEs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature) {
  std::string der;
  return jws::RawEcdsaSignatureToDer(signature, &der) && VerifyRs256(public_pem, data, der);
}

struct AppleTestPki::Impl {
  std::map<Chain, std::array<TestCertificate, 3>> chains;  // leaf, intermediate, root
};

AppleTestPki::AppleTestPki() : impl_(std::make_unique<Impl>()) {
  using jws::kAppleIntermediateOid, jws::kAppleLeafOid;
  auto& chains = impl_->chains;
  const auto root = Issue("Test Root CA - G3", Kind::kRoot, nullptr, nullptr);
  const auto intermediate = Issue("Test Worldwide Developer Relations CA", Kind::kIntermediate,
                                  &root, kAppleIntermediateOid);
  const auto with_leaf = [&](const TestCertificate& leaf) {
    return std::array<TestCertificate, 3>{leaf, intermediate, root};
  };
  chains[Chain::kGood] =
      with_leaf(Issue("Test Store Receipt Signing", Kind::kLeaf, &intermediate, kAppleLeafOid));
  chains[Chain::kLeafWithoutOid] =
      with_leaf(Issue("Leaf Without OID", Kind::kLeaf, &intermediate, nullptr));
  chains[Chain::kLeafWithoutAuthorityKeyId] = with_leaf(Issue("Leaf Without Authority Key Id",
      Kind::kLeaf, &intermediate, kAppleLeafOid, k2015, k2045, false));
  chains[Chain::kExpiredLeaf] = with_leaf(Issue("Expired Receipt Signing", Kind::kLeaf,
                                                &intermediate, kAppleLeafOid, k2020, kEnd2020));
  const auto other_root = Issue("Other Root CA", Kind::kRoot, nullptr, nullptr);
  const auto other_intermediate =
      Issue("Other Intermediate", Kind::kIntermediate, &other_root, kAppleIntermediateOid);
  chains[Chain::kOtherRoot] = {
      Issue("Other Receipt Signing", Kind::kLeaf, &other_intermediate, kAppleLeafOid),
      other_intermediate, other_root};
  const auto bare = Issue("Intermediate Without OID", Kind::kIntermediate, &root, nullptr);
  chains[Chain::kIntermediateWithoutOid] = {
      Issue("Leaf Of Intermediate Without OID", Kind::kLeaf, &bare, kAppleLeafOid), bare, root};
}

AppleTestPki::~AppleTestPki() = default;

const AppleTestPki& AppleTestPki::Get() {
  static const AppleTestPki* pki = new AppleTestPki();
  return *pki;
}

std::string AppleTestPki::root_pem() const {
  return PemOf(impl_->chains.at(Chain::kGood)[2].x509.get());
}
std::string AppleTestPki::other_root_pem() const {
  return PemOf(impl_->chains.at(Chain::kOtherRoot)[2].x509.get());
}

std::string AppleTestPki::Sign(const Json& payload, const SignOptions& options) const {
  const auto& chain = impl_->chains.at(options.chain);
  Json x5c = Json::Array();
  for (int i = 0; i < options.x5c_count && i < 3; ++i) {
    x5c.PushBack(DerBase64Of(chain[i].x509.get()));
  }
  const Json header = JsonObject({{"alg", options.alg}, {"x5c", x5c}});
  const std::string signing_input = jwt::Base64UrlEncode(header.ToString(false)) + "." +
                                    jwt::Base64UrlEncode(payload.ToString(false));

  auto key =
      jwt::TokenSigningKey::Create(PemKeyPairOf(chain[0].key.get()).private_pem, jwt::kEs256);
  CHECK(key);
  std::string signature;
  CHECK(key->Sign(signing_input, &signature));
  if (options.flip_signature) signature[10] ^= 0x01;
  return signing_input + "." + jwt::Base64UrlEncode(signature);
}

Json AppleTestPki::Transaction(const std::string& transaction_id, const std::string& product_id,
                               const std::string& bundle_id, const std::string& environment,
                               int64_t signed_date_ms) {
  const int64_t purchased_ms = 1551774276000;
  return JsonObject({{"transactionId", transaction_id},
                     {"originalTransactionId", transaction_id},
                     {"bundleId", bundle_id},
                     {"productId", product_id},
                     {"purchaseDate", purchased_ms},
                     {"originalPurchaseDate", purchased_ms},
                     {"quantity", 1},
                     {"type", "Consumable"},
                     {"inAppOwnershipType", "PURCHASED"},
                     {"signedDate", signed_date_ms},
                     {"environment", environment},
                     {"transactionReason", "PURCHASE"},
                     {"storefront", "USA"}});
}

int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace tvx::testing
