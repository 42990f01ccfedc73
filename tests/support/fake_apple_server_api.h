// The App Store Server API's Get Transaction Info, production and sandbox,
// scripted per transaction id; bearer tokens are checked as Apple does (401).
#ifndef TESTS_SUPPORT_FAKE_APPLE_SERVER_API_H_
#define TESTS_SUPPORT_FAKE_APPLE_SERVER_API_H_

#include <string>
#include <vector>

#include "framework/json.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/test_pki.h"

namespace tvx::testing {

class FakeAppleServerApi {
 public:
  enum Environment { kProduction, kSandbox };

  static constexpr char kIssuerId[] = "57246542-96fe-1a63-e053-0824d011072a";
  static constexpr char kKeyId[] = "2X9R4HXF34";
  static constexpr char kBundleId[] = "com.example.game";

  explicit FakeAppleServerApi(FakeHttpServer* server);

  void AddEndpoints(Json* endpoints) const;
  // The "apple_app_store_server_api" install argument for this fake.
  Json Argument(const std::string& environment = "auto") const;

  void Script(Environment environment, const std::string& transaction_id,
              std::vector<FakeResponse> answers);
  int RequestCount(Environment environment) const;
  std::vector<std::string> Tokens() const;  // both environments
  std::vector<int64_t> ArrivalTimes() const;  // ms since 1970
  std::string LastRefusal() const;

  static FakeResponse Found(const std::string& signed_transaction);
  static FakeResponse NotFound();
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
