// RS256 JWTs as Google's token endpoint checks them, and the key handling
// around them.
#include "framework/jwt.h"

#include <cctype>

#include <gtest/gtest.h>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

const RsaKeyPair& TestKeys() {
  static const RsaKeyPair keys = GenerateRsaKeyPair();
  return keys;
}

struct DecodedJwt {
  Json header;
  Json claims;
  std::string signing_input;
  std::string signature;
};

DecodedJwt Decode(const std::string& token) {
  DecodedJwt decoded;
  const size_t first = token.find('.');
  const size_t second = token.find('.', first + 1);
  EXPECT_NE(second, std::string::npos) << token;
  EXPECT_EQ(token.find('.', second + 1), std::string::npos) << token;
  std::string text;
  EXPECT_TRUE(jwt::Base64UrlDecode(token.substr(0, first), &text));
  EXPECT_TRUE(decoded.header.FromString(text)) << text;
  EXPECT_TRUE(jwt::Base64UrlDecode(token.substr(first + 1, second - first - 1), &text));
  EXPECT_TRUE(decoded.claims.FromString(text)) << text;
  EXPECT_TRUE(jwt::Base64UrlDecode(token.substr(second + 1), &decoded.signature));
  decoded.signing_input = token.substr(0, second);
  return decoded;
}

TEST(JwtTest, SignedTokenCarriesTheClaimsAndVerifiesWithThePublicKey) {
  auto key = jwt::TokenSigningKey::Create(TestKeys().private_pem, jwt::kSha256);
  ASSERT_TRUE(key);
  Json claims = Json::Object();
  claims.SetString("iss", "biller@project.iam.gserviceaccount.com");
  claims.SetString("scope", "https://www.googleapis.com/auth/androidpublisher");
  claims.SetString("aud", "https://www.googleapis.com/oauth2/v4/token");
  claims.SetAttribute("iat", Json(1));  // replaced by the issue time

  std::string token;
  ASSERT_TRUE(jwt::MakeJwt(claims, *key, 3000, 1700000000, &token));
  for (char c : token) {
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')
        << "not base64url: " << c;
  }
  DecodedJwt decoded = Decode(token);
  EXPECT_EQ(decoded.header.ToString(), R"({"alg":"RS256","typ":"JWT"})");
  EXPECT_EQ(decoded.claims.GetString("iss"), "biller@project.iam.gserviceaccount.com");
  EXPECT_EQ(decoded.claims.GetString("scope"), "https://www.googleapis.com/auth/androidpublisher");
  EXPECT_EQ(decoded.claims.GetString("aud"), "https://www.googleapis.com/oauth2/v4/token");
  EXPECT_EQ(decoded.claims.GetInteger("iat"), 1700000000);
  EXPECT_EQ(decoded.claims.GetInteger("exp"), 1700003000);
  EXPECT_TRUE(VerifyRs256(TestKeys().public_pem, decoded.signing_input, decoded.signature));

  // Any change to the signed part breaks the signature.
  std::string tampered = decoded.signing_input;
  tampered[tampered.size() - 2] ^= 1;
  EXPECT_FALSE(VerifyRs256(TestKeys().public_pem, tampered, decoded.signature));
}

TEST(JwtTest, OnlyUnencryptedRsaPrivateKeysMakeSigningKeys) {
  EXPECT_FALSE(jwt::TokenSigningKey::Create("", jwt::kSha256));
  EXPECT_FALSE(jwt::TokenSigningKey::Create("not a key", jwt::kSha256));
  EXPECT_FALSE(jwt::TokenSigningKey::Create(TestKeys().public_pem, jwt::kSha256));
  EXPECT_FALSE(jwt::TokenSigningKey::Create(TestKeys().private_pem, 7));
  // A key cut short, as a badly pasted credential would be.
  EXPECT_FALSE(jwt::TokenSigningKey::Create(
      TestKeys().private_pem.substr(0, TestKeys().private_pem.size() / 2), jwt::kSha256));
  // A key whose line breaks arrived as the two characters '\' 'n'.
  std::string flattened;
  for (char c : TestKeys().private_pem) flattened += c == '\n' ? std::string("\\n") : std::string(1, c);
  EXPECT_FALSE(jwt::TokenSigningKey::Create(flattened, jwt::kSha256));
}

TEST(JwtTest, RefusesClaimsThatAreNotAnObjectAndEmptyLifetimes) {
  auto key = jwt::TokenSigningKey::Create(TestKeys().private_pem, jwt::kSha256);
  ASSERT_TRUE(key);
  std::string token = "untouched";
  EXPECT_FALSE(jwt::MakeJwt(Json::Array(), *key, 3000, &token));
  EXPECT_FALSE(jwt::MakeJwt(Json("text"), *key, 3000, &token));
  EXPECT_FALSE(jwt::MakeJwt(Json::Object(), *key, 0, &token));
  EXPECT_EQ(token, "untouched");
}

TEST(Base64UrlTest, RoundTripsEveryByteWithTheUrlAlphabet) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t length : {0u, 1u, 2u, 3u, 4u, 255u, 256u}) {
    const std::string bytes = all.substr(0, length);
    const std::string text = jwt::Base64UrlEncode(bytes);
    EXPECT_EQ(text.find_first_of("+/="), std::string::npos) << text;
    std::string decoded;
    ASSERT_TRUE(jwt::Base64UrlDecode(text, &decoded)) << text;
    EXPECT_EQ(decoded, bytes);
  }
  EXPECT_EQ(jwt::Base64UrlEncode("\xfb\xff"), "-_8");

  std::string decoded;
  EXPECT_TRUE(jwt::Base64UrlDecode("-_8=", &decoded));  // padding tolerated
  EXPECT_EQ(decoded, "\xfb\xff");
  EXPECT_FALSE(jwt::Base64UrlDecode("ab+c", &decoded));  // standard alphabet
  EXPECT_FALSE(jwt::Base64UrlDecode("ab c", &decoded));
  EXPECT_FALSE(jwt::Base64UrlDecode("abcde", &decoded));  // impossible length
}

}  // namespace
}  // namespace tvx::testing
