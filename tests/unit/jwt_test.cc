// The ES256 and RS256 tokens the biller signs (that the stores' fakes accept
// them: AppleServerApiTest, AuthenticationTest).
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

#include <gtest/gtest.h>

#include "framework/jwt.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {
namespace {

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
