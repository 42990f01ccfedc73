// A loopback fake of one PlayStation platform environment: the OAuth token
// endpoint (authorization-code grant, the biller's client credentials as
// Basic authorization), the base-URL service that names the entitlement
// service, and the entitlement service itself. Each step checks what the
// platform checks (credentials, grant, redirect URI, bearer token, service
// label) and refuses otherwise; any step can be made to fail.
#ifndef TESTS_SUPPORT_FAKE_PLAYSTATION_SERVER_H_
#define TESTS_SUPPORT_FAKE_PLAYSTATION_SERVER_H_

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "framework/json.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class FakePlayStation {
 public:
  enum Step { kToken, kBaseUrl, kEntitlement };

  // `environment`: "dev", "qa" or "production".
  FakePlayStation(FakeHttpServer* server, std::string environment);

  std::string token_url() const;
  std::string base_url_service() const;  // ends in "/baseUrls/"
  // Adds this environment's "p4_<env>_token_url" and
  // "p4_<env>_base_url_service" to `endpoints`.
  void AddEndpoints(tvx::Json* endpoints) const;

  // The biller's credentials the token endpoint accepts.
  void SetClient(const std::string& client_id, const std::string& secret);
  // An authorization code the token endpoint accepts (as often as asked).
  void AddAuthCode(const std::string& code);
  // The entitlement the service answers for `id` under `service_label`.
  void AddEntitlement(const std::string& id, int64_t service_label, const tvx::Json& entitlement);
  static tvx::Json Entitlement(const std::string& id, bool is_consumable, int64_t use_count,
                               int64_t use_limit);

  // While set, every request of `step` gets `answer`, nothing checked.
  void Override(Step step, std::optional<FakeResponse> answer);

  int RequestCount(Step step) const;
  std::vector<FakeRequest> Requests(Step step) const;

 private:
  std::string Path(Step step) const;
  FakeResponse OnToken(const FakeRequest& request);
  FakeResponse OnBaseUrl(const FakeRequest& request);
  FakeResponse OnEntitlement(const FakeRequest& request);
  bool IsIssuedBearer(const FakeRequest& request) const;  // REQUIRES: mutex_ held

  FakeHttpServer* const server_;
  const std::string prefix_;
  mutable std::mutex mutex_;
  std::string client_;  // GUARDED_BY(mutex_), "<id>:<secret>"
  std::set<std::string> auth_codes_;                               // GUARDED_BY(mutex_)
  std::set<std::string> issued_tokens_;                            // GUARDED_BY(mutex_)
  std::map<std::pair<std::string, int64_t>, tvx::Json> entitlements_;  // GUARDED_BY(mutex_)
  std::map<Step, FakeResponse> overrides_;                         // GUARDED_BY(mutex_)
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_PLAYSTATION_SERVER_H_
