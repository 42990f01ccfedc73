// One PlayStation environment: the token endpoint (authorization-code grant),
// the base-URL service and the entitlement service scripted per entitlement
// and service label; each checks what the platform checks.
#ifndef TESTS_SUPPORT_FAKE_PLAYSTATION_SERVER_H_
#define TESTS_SUPPORT_FAKE_PLAYSTATION_SERVER_H_

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "framework/json.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class FakePlayStation {
 public:
  // `environment`: "dev", "qa" or "production".
  FakePlayStation(FakeHttpServer* server, std::string environment);

  void AddEndpoints(tvx::Json* endpoints) const;

  void SetClient(const std::string& client_id, const std::string& secret);
  void AddAuthCode(const std::string& code);  // accepted as often as asked
  // An unscripted entitlement gets 404.
  void ScriptEntitlement(const std::string& id, int64_t service_label,
                         std::vector<FakeResponse> answers);
  static tvx::Json Entitlement(const std::string& id, bool is_consumable, int64_t use_count,
                               int64_t use_limit);

 private:
  bool IsIssuedBearer(const FakeRequest& request) const;  // REQUIRES: mutex_ held

  FakeHttpServer* const server_;
  const std::string prefix_;  // "/psn/<environment>"
  ScriptedAnswers entitlements_;
  mutable std::mutex mutex_;
  std::string authorization_;            // GUARDED_BY(mutex_), "Basic ..."
  std::set<std::string> auth_codes_;     // GUARDED_BY(mutex_)
  std::set<std::string> issued_tokens_;  // GUARDED_BY(mutex_)
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_PLAYSTATION_SERVER_H_
