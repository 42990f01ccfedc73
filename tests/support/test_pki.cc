#include "tests/support/test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <vector>

#include <glog/logging.h>

#include "framework/base64.h"
#include "framework/clock.h"
#include "framework/jwt.h"
#include "framework/jws.h"

namespace tvx::testing {

std::string PemText(const std::function<int(BIO*)>& write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  CHECK(write(bio.get()) == 1);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

namespace {

// 2015-01-01, 2020-01-01, 2020-12-31 and 2045-01-01 UTC.
constexpr time_t k2015 = 1420070400;
constexpr time_t k2020 = 1577836800;
constexpr time_t kEnd2020 = 1609372800;
constexpr time_t k2045 = 2366755200;

enum class Kind { kRoot, kIntermediate, kLeaf };

// EC P-256, with the constraints, key usage and key id Apple gives one of its
// kind, and `extensions` ("name=value" as in openssl.cnf).
TestCertificate Issue(const std::string& name, Kind kind, const TestCertificate* issuer,
                      std::vector<std::string> extensions, time_t not_before = k2015,
                      time_t not_after = k2045) {
  static long serial = 1;
  TestCertificate made{std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free),
                       std::shared_ptr<X509>(X509_new(), X509_free)};
  X509* x = made.x509.get();
  CHECK(made.key && X509_set_version(x, X509_VERSION_3) == 1);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  ASN1_TIME_set(X509_getm_notBefore(x), not_before);
  ASN1_TIME_set(X509_getm_notAfter(x), not_after);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
  X509* signer = issuer ? issuer->x509.get() : x;
  CHECK(X509_set_issuer_name(x, X509_get_subject_name(signer)) == 1);
  CHECK(X509_set_pubkey(x, made.key.get()) == 1);
  extensions.insert(extensions.begin(),
                    {kind == Kind::kLeaf   ? "basicConstraints=critical,CA:FALSE"
                     : kind == Kind::kRoot ? "basicConstraints=critical,CA:TRUE"
                                           : "basicConstraints=critical,CA:TRUE,pathlen:0",
                     kind == Kind::kLeaf ? "keyUsage=critical,digitalSignature"
                                         : "keyUsage=critical,keyCertSign,cRLSign",
                     "subjectKeyIdentifier=hash"});
  X509V3_CTX context;
  X509V3_set_ctx(&context, signer, x, nullptr, nullptr, 0);
  for (const std::string& line : extensions) {
    const size_t eq = line.find('=');
    X509_EXTENSION* extension = X509V3_EXT_nconf(nullptr, &context, line.substr(0, eq).c_str(),
                                                 line.substr(eq + 1).c_str());
    CHECK(extension && X509_add_ext(x, extension, -1) == 1) << line;
    X509_EXTENSION_free(extension);
  }
  CHECK(X509_sign(x, (issuer ? issuer : &made)->key.get(), EVP_sha256()) > 0);
  return made;
}

std::string PemOf(X509* certificate) {
  return PemText([certificate](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
}

}  // namespace

TestPki MakeTestPki(const std::string& dir) {
  // A certificate named `name`, written to <dir>/<name>.pem and its key to <dir>/<name>.key.
  auto make = [&](const std::string& name, Kind kind, const TestCertificate* issuer,
                  const std::vector<std::string>& extensions) {
    const auto made = Issue(name, kind, issuer, extensions);
    std::ofstream(dir + "/" + name + ".pem") << PemOf(made.x509.get());
    std::ofstream(dir + "/" + name + ".key") << PemKeyPairOf(made.key.get()).private_pem;
    return made;
  };
  const TestCertificate ca = make("ca", Kind::kRoot, nullptr, {});
  const TestCertificate other_ca = make("other_ca", Kind::kRoot, nullptr, {});
  make("server", Kind::kLeaf, &ca,
       {"subjectAltName=IP:127.0.0.1,DNS:localhost", "extendedKeyUsage=serverAuth"});
  make("client", Kind::kLeaf, &ca, {"extendedKeyUsage=clientAuth"});
  make("other_client", Kind::kLeaf, &other_ca, {"extendedKeyUsage=clientAuth"});
  return {.ca = dir + "/ca.pem",
          .server_cert = dir + "/server.pem",
          .server_key = dir + "/server.key",
          .client_cert = dir + "/client.pem",
          .client_key = dir + "/client.key",
          .other_client_cert = dir + "/other_client.pem",
          .other_client_key = dir + "/other_client.key"};
}

EcKeyPair GenerateEcKeyPair() {
  return PemKeyPairOf(std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free).get());
}

bool VerifyEs256(const std::string& public_pem, const std::string& data,
                 const std::string& signature) {
  std::string der;
  return jws::RawEcdsaSignatureToDer(signature, &der) && VerifyRs256(public_pem, data, der);
}

AppleTestPki::AppleTestPki() {
  const std::string key_id = "authorityKeyIdentifier=keyid:always";
  const std::string leaf_oid = std::string(jws::kAppleLeafOid) + "=DER:05:00";  // as Apple's
  const std::string intermediate_oid = std::string(jws::kAppleIntermediateOid) + "=DER:05:00";
  const auto root = Issue("Test Root CA - G3", Kind::kRoot, nullptr, {});
  const auto intermediate = Issue("Test Worldwide Developer Relations CA", Kind::kIntermediate,
                                  &root, {key_id, intermediate_oid});
  const auto with_leaf = [&](const TestCertificate& leaf) {
    return std::array<TestCertificate, 3>{leaf, intermediate, root};
  };
  chains_[Chain::kGood] = with_leaf(
      Issue("Test Store Receipt Signing", Kind::kLeaf, &intermediate, {key_id, leaf_oid}));
  chains_[Chain::kLeafWithoutOid] =
      with_leaf(Issue("Leaf Without OID", Kind::kLeaf, &intermediate, {key_id}));
  chains_[Chain::kLeafWithoutAuthorityKeyId] =
      with_leaf(Issue("Leaf Without Authority Key Id", Kind::kLeaf, &intermediate, {leaf_oid}));
  chains_[Chain::kExpiredLeaf] = with_leaf(Issue(
      "Expired Receipt Signing", Kind::kLeaf, &intermediate, {key_id, leaf_oid}, k2020, kEnd2020));
  const auto other_root = Issue("Other Root CA", Kind::kRoot, nullptr, {});
  const auto other_intermediate =
      Issue("Other Intermediate", Kind::kIntermediate, &other_root, {key_id, intermediate_oid});
  chains_[Chain::kOtherRoot] = {
      Issue("Other Receipt Signing", Kind::kLeaf, &other_intermediate, {key_id, leaf_oid}),
      other_intermediate, other_root};
  const auto bare = Issue("Intermediate Without OID", Kind::kIntermediate, &root, {key_id});
  chains_[Chain::kIntermediateWithoutOid] = {
      Issue("Leaf Of Intermediate Without OID", Kind::kLeaf, &bare, {key_id, leaf_oid}), bare,
      root};
}

const AppleTestPki& AppleTestPki::Get() {
  static const AppleTestPki* pki = new AppleTestPki();
  return *pki;
}

std::string AppleTestPki::root_pem(Chain chain) const {
  return PemOf(chains_.at(chain)[2].x509.get());
}

std::string AppleTestPki::Sign(const Json& payload, const SignOptions& options) const {
  const auto& chain = chains_.at(options.chain);
  Json x5c = Json::Array();
  for (int i = 0; i < options.x5c_count && i < 3; ++i) {
    X509* certificate = chain[i].x509.get();
    x5c.PushBack(Base64Encode(PemText([&](BIO* bio) { return i2d_X509_bio(bio, certificate); })));
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
                     {"signedDate", signed_date_ms},
                     {"environment", environment}});
}

int64_t NowMillis() { return (WallClock::Now() - WallClock::kEpochClock).total_milliseconds(); }

}  // namespace tvx::testing
