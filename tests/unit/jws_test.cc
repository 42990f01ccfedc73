// Apple-style signed data verified against a test certificate authority.
#include <memory>

#include <gtest/gtest.h>

#include "framework/jws.h"
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

}  // namespace
}  // namespace tvx::testing
