// ES256 signing and the verification of Apple-style signed data against a
// test certificate authority made with OpenSSL.
#include "framework/jws.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include "framework/jwt.h"
#include "tests/support/apple_test_pki.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

using Chain = AppleTestPki::Chain;

std::shared_ptr<const jws::SignedDataVerifier> Verifier() {
  static const auto verifier = [] {
    std::string error;
    auto made = jws::SignedDataVerifier::Create({{AppleTestPki::Get().root_pem()}}, &error);
    EXPECT_TRUE(made) << error;
    return made;
  }();
  return verifier;
}

Json Payload(int64_t signed_date_ms = NowMillis()) {
  return AppleTestPki::Transaction("2000000123", "gem_100", "com.example.game", "Production",
                                   signed_date_ms);
}

TEST(Es256Test, SignsJwsThatVerifiesWithThePublicKeyAsRAndS) {
  const EcKeyPair keys = GenerateEcKeyPair();
  auto key = jwt::TokenSigningKey::Create(keys.private_pem, jwt::kEs256);
  ASSERT_TRUE(key);
  Json header = Json::Object();
  header.SetString("alg", "ES256");
  header.SetString("kid", "KEY123");
  header.SetString("typ", "JWT");
  Json claims = Json::Object();
  claims.SetString("iss", "issuer");
  std::string token;
  ASSERT_TRUE(jwt::MakeJws(header, claims, *key, &token));
  const size_t dot = token.rfind('.');
  std::string signature, header_text;
  ASSERT_TRUE(jwt::Base64UrlDecode(token.substr(dot + 1), &signature));
  EXPECT_EQ(signature.size(), 64u);
  EXPECT_TRUE(VerifyEs256(keys.public_pem, token.substr(0, dot), signature));
  ASSERT_TRUE(jwt::Base64UrlDecode(token.substr(0, token.find('.')), &header_text));
  EXPECT_EQ(header_text, R"({"alg":"ES256","kid":"KEY123","typ":"JWT"})");

  // ECDSA draws a new nonce each time: two signatures of one text differ.
  std::string again;
  ASSERT_TRUE(jwt::MakeJws(header, claims, *key, &again));
  EXPECT_NE(again, token);

  // The header must name the key's algorithm, and RS256 JWTs need an RSA key.
  header.SetString("alg", "RS256");
  EXPECT_FALSE(jwt::MakeJws(header, claims, *key, &token));
  EXPECT_FALSE(jwt::MakeJwt(claims, *key, 60, &token));
}

TEST(Es256Test, OnlyP256KeysMakeEs256Keys) {
  EXPECT_FALSE(jwt::TokenSigningKey::Create(GenerateRsaKeyPair().private_pem, jwt::kEs256));
  const EcKeyPair keys = GenerateEcKeyPair();
  EXPECT_FALSE(jwt::TokenSigningKey::Create(keys.private_pem, jwt::kSha256));
  EXPECT_FALSE(jwt::TokenSigningKey::Create(keys.public_pem, jwt::kEs256));
  EVP_PKEY* p384 = EVP_EC_gen("P-384");
  ASSERT_TRUE(p384);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, p384, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  const std::string pem(data, static_cast<size_t>(size));
  BIO_free(bio);
  EVP_PKEY_free(p384);
  EXPECT_FALSE(jwt::TokenSigningKey::Create(pem, jwt::kEs256));
}

TEST(SignedDataVerifierTest, AcceptsApplesShapeAndHandsBackThePayload) {
  const Json payload = Payload();
  const jws::Verified verified = Verifier()->Verify(AppleTestPki::Get().Sign(payload));
  ASSERT_TRUE(verified.ok) << verified.refusal;
  EXPECT_EQ(verified.payload, payload);
}

TEST(SignedDataVerifierTest, ValidityIsJudgedAtTheSignedDateNotNow) {
  // 2020-06-01: the expired leaf was valid then.
  const jws::Verified verified = Verifier()->Verify(
      AppleTestPki::Get().Sign(Payload(1590969600000), {.chain = Chain::kExpiredLeaf}));
  EXPECT_TRUE(verified.ok) << verified.refusal;
  // And the good chain was not valid before 2015.
  EXPECT_FALSE(Verifier()->Verify(AppleTestPki::Get().Sign(Payload(1000000000000))).ok);
}

struct Refusal {
  const char* name;
  AppleTestPki::SignOptions options;
  const char* refusal;  // the start of the verifier's reason
};

void PrintTo(const Refusal& refusal, std::ostream* os) { *os << refusal.name; }

class SignedDataRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(SignedDataRefusalTest, IsRefusedWithItsReason) {
  const jws::Verified verified =
      Verifier()->Verify(AppleTestPki::Get().Sign(Payload(), GetParam().options));
  EXPECT_FALSE(verified.ok);
  EXPECT_TRUE(verified.payload.IsNull());
  EXPECT_EQ(verified.refusal.rfind(GetParam().refusal, 0), 0u) << verified.refusal;
}

INSTANTIATE_TEST_SUITE_P(
    Apple, SignedDataRefusalTest,
    ::testing::Values(
        Refusal{"FlippedSignatureBit", {.flip_signature = true}, "signature does not verify"},
        Refusal{"OtherAlg", {.alg = "ES384"}, "alg is not ES256"},
        Refusal{"AlgNone", {.alg = "none"}, "alg is not ES256"},
        Refusal{"TwoCertificates", {.x5c_count = 2}, "x5c does not hold three"},
        Refusal{"OtherRoot", {.chain = Chain::kOtherRoot}, "certificate chain not verified"},
        Refusal{"LeafWithoutOid", {.chain = Chain::kLeafWithoutOid}, "leaf certificate lacks"},
        Refusal{"IntermediateWithoutOid",
                {.chain = Chain::kIntermediateWithoutOid},
                "intermediate certificate lacks"},
        Refusal{"NotStrictX509",
                {.chain = Chain::kLeafWithoutAuthorityKeyId},
                "certificate chain not verified"},
        Refusal{"ExpiredLeaf", {.chain = Chain::kExpiredLeaf}, "certificate chain not verified"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SignedDataVerifierTest, RefusesMalformedTextWithoutThrowing) {
  const std::string good = AppleTestPki::Get().Sign(Payload());
  const size_t dot = good.rfind('.');
  Json no_date = Payload();
  no_date.RemoveAttribute("signedDate");
  for (const std::string& text :
       {std::string(), std::string("a.b"), good + ".x", good.substr(0, dot + 10),
        good.substr(0, dot + 1) + "!!", std::string("e30.e30.AAAA"),
        AppleTestPki::Get().Sign(no_date), AppleTestPki::Get().Sign(Json("a string"))}) {
    const jws::Verified verified = Verifier()->Verify(text);
    EXPECT_FALSE(verified.ok) << text;
    EXPECT_FALSE(verified.refusal.empty()) << text;
  }
}

TEST(SignedDataVerifierTest, TrustsAnyConfiguredRootAndRefusesUnreadableRoots) {
  std::string error;
  auto both = jws::SignedDataVerifier::Create(
      {{AppleTestPki::Get().other_root_pem(), AppleTestPki::Get().root_pem()}}, &error);
  ASSERT_TRUE(both) << error;
  EXPECT_TRUE(both->Verify(AppleTestPki::Get().Sign(Payload())).ok);
  EXPECT_TRUE(both->Verify(AppleTestPki::Get().Sign(Payload(), {.chain = Chain::kOtherRoot})).ok);

  EXPECT_FALSE(jws::SignedDataVerifier::Create({{}}, &error));
  EXPECT_FALSE(jws::SignedDataVerifier::Create(
      {{AppleTestPki::Get().root_pem(), "-----BEGIN CERTIFICATE-----\nAAAA\n"}}, &error));
  EXPECT_EQ(error, "root certificate 1 is not a PEM certificate");
}

}  // namespace
}  // namespace tvx::testing
