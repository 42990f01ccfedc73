// The key handling around RS256 JWTs and their base64url text. That a
// signed token passes Google's checks is shown against the fake Google
// token service (store token adapter and authentication tests).
#include "framework/jwt.h"

#include <gtest/gtest.h>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

const RsaKeyPair& TestKeys() {
  static const RsaKeyPair keys = GenerateRsaKeyPair();
  return keys;
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
