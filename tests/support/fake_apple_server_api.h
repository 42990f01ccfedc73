// A loopback fake of the App Store Server API's Get Transaction Info
// (GET <base>/inApps/v1/transactions/<id>) in a production and a sandbox
// environment. Every request's bearer token is checked as Apple checks it:
// ES256 signature by the App Store Connect key, header "kid" and "typ",
// claims "iss", "aud" "appstoreconnect-v1", "bid", and "exp" at most an
// hour after "iat"; a token that fails gets 401. Answers are scripted per
// transaction id; an unscripted id gets 404 with errorCode 4040010.
#ifndef TESTS_SUPPORT_FAKE_APPLE_SERVER_API_H_
#define TESTS_SUPPORT_FAKE_APPLE_SERVER_API_H_

#include <string>
#include <vector>

#include "framework/json.h"
#include "tests/support/apple_test_pki.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class FakeAppleServerApi {
 public:
  enum Environment { kProduction, kSandbox };

  static constexpr char kIssuerId[] = "57246542-96fe-1a63-e053-0824d011072a";
  static constexpr char kKeyId[] = "2X9R4HXF34";
  static constexpr char kBundleId[] = "com.example.game";

  explicit FakeAppleServerApi(FakeHttpServer* server);

  // Adds both API bases to a "store_endpoints" object.
  void AddEndpoints(Json* endpoints) const;
  // The "apple_app_store_server_api" install argument matching this fake and
  // the test PKI's root.
  Json Argument(const std::string& environment = "auto") const;

  void Script(Environment environment, const std::string& transaction_id,
              std::vector<FakeResponse> answers);
  int RequestCount(Environment environment) const;
  // The bearer tokens received, in order (both environments).
  std::vector<std::string> Tokens() const;
  // The arrival times (ms since 1970) of the requests, in order.
  std::vector<int64_t> ArrivalTimes() const;
  // Why the last token was refused ("" when none was).
  std::string LastRefusal() const;

  // Answers. 200 with the signed transaction.
  static FakeResponse Found(const std::string& signed_transaction);
  // 404 with errorCode 4040010.
  static FakeResponse NotFound();
  // 429 with Retry-After `retry_after_ms` (UNIX ms).
  static FakeResponse RateLimited(int64_t retry_after_ms);
  static FakeResponse Unauthorized();

 private:
  FakeResponse Answer(Environment environment, const FakeRequest& request);
  std::string CheckToken(const FakeRequest& request) const;

  FakeHttpServer* const server_;
  const EcKeyPair key_;
  ScriptedAnswers scripts_[2];
  mutable std::mutex mutex_;
  std::vector<std::string> tokens_;   // GUARDED_BY(mutex_)
  std::vector<int64_t> arrivals_;     // GUARDED_BY(mutex_)
  std::string last_refusal_;          // GUARDED_BY(mutex_)
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_APPLE_SERVER_API_H_
