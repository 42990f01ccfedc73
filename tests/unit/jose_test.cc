// Apple-style signed data verified against a test certificate authority, and
// the ES256 and RS256 tokens the biller signs (that the stores' fakes accept
// them: AppleServerApiTest, AuthenticationTest).
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

#include <gtest/gtest.h>

#include "framework/jws.h"
#include "framework/jwt.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

using Chain = AppleTestPki::Chain;

std::shared_ptr<const jws::SignedDataVerifier> Verifier() {
  std::string error;
  static const auto verifier =
      jws::SignedDataVerifier::Create({{AppleTestPki::Get().root_pem()}}, &error);
  return verifier;
}

Json Payload(int64_t signed_date_ms = NowMillis()) {
  return AppleTestPki::Transaction("2000000123", "gem_100", "com.example.game", "Production",
                                   signed_date_ms);
}

TEST(SignedDataVerifierTest, AcceptsApplesShapeAsOfTheSignedDateUnderAnyConfiguredRoot) {
  ASSERT_TRUE(Verifier()) << "the test root is not usable";
  const Json payload = Payload();
  const jws::Verified verified = Verifier()->Verify(AppleTestPki::Get().Sign(payload));
  ASSERT_TRUE(verified.ok) << verified.refusal;
  EXPECT_EQ(verified.payload, payload);
  // The expired leaf was valid on 2020-06-01.
  EXPECT_TRUE(Verifier()->Verify(AppleTestPki::Get().Sign(Payload(1590969600000),
                                                          {.chain = Chain::kExpiredLeaf})).ok);
  // Any configured root is trusted; unreadable roots: AppleServerApiConfigTest.
  std::string error;
  auto both = jws::SignedDataVerifier::Create(
      {{AppleTestPki::Get().root_pem(Chain::kOtherRoot), AppleTestPki::Get().root_pem()}}, &error);
  ASSERT_TRUE(both) << error;
  EXPECT_TRUE(both->Verify(AppleTestPki::Get().Sign(Payload())).ok &&
              both->Verify(AppleTestPki::Get().Sign(Payload(), {.chain = Chain::kOtherRoot})).ok);
  EXPECT_FALSE(jws::SignedDataVerifier::Create({{}}, &error));
}

TEST(SignedDataVerifierTest, RefusesEachFaultWithItsReason) {
  const std::string good = AppleTestPki::Get().Sign(Payload());
  const size_t dot = good.rfind('.');
  Json no_date = Payload();
  no_date.RemoveAttribute("signedDate");
  const auto sign = [](const AppleTestPki::SignOptions& options) {
    return AppleTestPki::Get().Sign(Payload(), options);
  };
  const std::pair<std::string, const char*> kRows[] = {  // the start of the verifier's reason
      {sign({.flip_signature = true}), "signature does not verify"},
      {sign({.alg = "ES384"}), "alg is not ES256"},
      {sign({.alg = "none"}), "alg is not ES256"},
      {sign({.x5c_count = 2}), "x5c does not hold three"},
      {sign({.chain = Chain::kOtherRoot}), "certificate chain not verified"},
      {sign({.chain = Chain::kLeafWithoutOid}), "leaf certificate lacks"},
      {sign({.chain = Chain::kIntermediateWithoutOid}), "intermediate certificate lacks"},
      {sign({.chain = Chain::kLeafWithoutAuthorityKeyId}), "certificate chain not verified"},
      {sign({.chain = Chain::kExpiredLeaf}), "certificate chain not verified"},
      // Malformed texts are refused without throwing.
      {"", ""}, {"a.b", ""}, {good + ".x", ""}, {good.substr(0, dot + 10), ""},
      {good.substr(0, dot + 1) + "!!", ""}, {"e30.e30.AAAA", ""},
      {AppleTestPki::Get().Sign(no_date), ""}, {AppleTestPki::Get().Sign(Json("a string")), ""},
  };
  for (const auto& [text, refusal] : kRows) {
    const jws::Verified verified = Verifier()->Verify(text);
    EXPECT_EQ(std::tuple(verified.ok, verified.payload.IsNull(), verified.refusal.empty(),
                         verified.refusal.rfind(refusal, 0)),
              std::tuple(false, true, false, 0u)) << text << " -> " << verified.refusal;
  }
}

TEST(JwtTest, OnlyUnencryptedPrivateKeysOfTheAlgorithmMakeSigningKeys) {
  const RsaKeyPair rsa = GenerateRsaKeyPair();
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> p384(EVP_EC_gen("P-384"), EVP_PKEY_free);
  const EcKeyPair ec = GenerateEcKeyPair();
  const std::pair<std::string, int> kRefused[] = {
      {"", jwt::kSha256}, {"not a key", jwt::kSha256}, {rsa.public_pem, jwt::kSha256},
      {rsa.private_pem, 7}, {rsa.private_pem, jwt::kEs256}, {ec.private_pem, jwt::kSha256},
      {ec.public_pem, jwt::kEs256}, {PemKeyPairOf(p384.get()).private_pem, jwt::kEs256}};
  for (const auto& [pem, algorithm] : kRefused) {
    EXPECT_FALSE(jwt::TokenSigningKey::Create(pem, algorithm)) << algorithm << " " << pem;
  }
}

TEST(JwtTest, RefusesClaimsThatAreNotAnObjectEmptyLifetimesAndAnAlgorithmNotTheKeys) {
  auto rsa = jwt::TokenSigningKey::Create(GenerateRsaKeyPair().private_pem, jwt::kSha256);
  auto ec = jwt::TokenSigningKey::Create(GenerateEcKeyPair().private_pem, jwt::kEs256);
  ASSERT_TRUE(rsa && ec);
  std::string token = "untouched";
  EXPECT_FALSE(jwt::MakeJwt(Json::Array(), *rsa, 3000, &token) ||
               jwt::MakeJwt(Json("text"), *rsa, 3000, &token) ||
               jwt::MakeJwt(Json::Object(), *rsa, 0, &token));
  EXPECT_EQ(token, "untouched");
  // The header must name the key's algorithm, and RS256 JWTs need an RSA key.
  const Json header = JsonObject({{"alg", "RS256"}});
  EXPECT_FALSE(jwt::MakeJws(header, Json::Object(), *ec, &token) ||
               jwt::MakeJwt(Json::Object(), *ec, 60, &token));
}

// The round trip of arbitrary bytes: the signed tokens above, whose
// certificates and signatures pass through it.
TEST(Base64UrlTest, UrlAlphabetWithOptionalPaddingAndNothingElse) {
  std::string decoded;
  EXPECT_EQ(jwt::Base64UrlEncode("\xfb\xff"), "-_8");
  EXPECT_TRUE(jwt::Base64UrlDecode("-_8=", &decoded));
  EXPECT_EQ(decoded, "\xfb\xff");
  for (const char* text : {"ab+c", "ab c", "abcde"}) {
    EXPECT_FALSE(jwt::Base64UrlDecode(text, &decoded)) << text;
  }
}

}  // namespace
}  // namespace tvx::testing
