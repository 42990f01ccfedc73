// Store validation test helpers: an authenticated TCP client, a fixture
// running a biller on store fakes, and readers of statistics, rows, records.
#ifndef TESTS_SUPPORT_VALIDATION_CLIENT_H_
#define TESTS_SUPPORT_VALIDATION_CLIENT_H_

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/biller.pb.h"
#include "framework/json.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class ValidationClient {
 public:
  // Connects and authenticates as `client_id` with the store keys; see ok().
  explicit ValidationClient(const BillerProcess& biller,
                            const std::string& client_id = "game-server-1",
                            const std::vector<std::string>& auth_keys = {});

  bool ok() const { return ok_; }

  // One validation's answer (expected to carry the request's uuid; a default
  // answer when none came).
  Biller::Response Validate(const std::string& receipt, bool fill_decoded_receipt = false,
                            const std::string& player_id = "player-1",
                            const std::string& player_service_provider = "guest");

 private:
  TcpClient tcp_;
  bool ok_ = false;
};

// Authenticates over HTTP as "game-server-1" with the store credential
// members of `credentials`; the session id, "" when refused.
std::string OpenHttpSession(const BillerProcess& biller, Json credentials = Json::Object());
// One validation at the HTTP `path` with the receipt's `members` for the
// session and the player (of "guest"): the answer's "result", -1 when unreadable.
int64_t ValidateOverHttp(const BillerProcess& biller, const std::string& path,
                         const std::string& session, Json members,
                         const std::string& player_id = "player-1");

// The validation result of an answer, or the failure code of a fail answer.
int64_t ResultOf(const Biller::Response& response);

// Rows of `sql` on the biller's database, columns split at tabs.
std::vector<std::vector<std::string>> QueryRows(const BillerProcess& biller,
                                                const std::string& sql);

// The records of an activity log of the biller, one Json per line.
std::vector<Json> ActivityRecords(const BillerProcess& biller, const std::string& log_name);

// Install arguments naming the stores' addresses.
Json StoreArguments(const Json& endpoints);

// A biller on a scratch database pointed at fakes on server_, and a client.
// Skipped without a test database.
class StoreValidationTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Starts the biller (store calls time out after 2 s) and authenticates a
  // client with `auth_keys`.
  void Start(const Json& arguments, std::vector<std::string> flags = {},
             const std::vector<std::string>& auth_keys = {});
  // Expects the "all_time" counts of `store` and the same of "total" (they
  // are recorded just after an answer is sent).
  void ExpectCounts(const std::string& store, const std::map<std::string, int64_t>& expected);

  FakeHttpServer server_;
  std::unique_ptr<BillerProcess> biller_;
  std::unique_ptr<ValidationClient> client_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_VALIDATION_CLIENT_H_
