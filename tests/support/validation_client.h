// Store validation helpers: an authenticated client, a fixture, readers.
#ifndef TESTS_SUPPORT_VALIDATION_CLIENT_H_
#define TESTS_SUPPORT_VALIDATION_CLIENT_H_

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
  // Connects and authenticates; see ok().
  explicit ValidationClient(const BillerProcess& biller,
                            const std::string& client_id = "game-server-1",
                            const std::vector<std::string>& auth_keys = {});

  bool ok() const { return ok_; }

  // A default answer when none came.
  Biller::Response Validate(const std::string& receipt, bool fill_decoded_receipt = false,
                            const std::string& player_id = "player-1",
                            const std::string& player_service_provider = "guest");

 private:
  TcpClient tcp_;
  bool ok_ = false;
};

// The session id of "game-server-1" with `credentials`; "" when refused.
std::string OpenHttpSession(const BillerProcess& biller, Json credentials = Json::Object());
// The answer's "result" (-1 when unreadable) for `members` and the player.
int64_t ValidateOverHttp(const BillerProcess& biller, const std::string& path,
                         const std::string& session, Json members,
                         const std::string& player_id = "player-1");

// The validation result, or the failure code of a fail answer.
int64_t ResultOf(const Biller::Response& response);

// Rows of `sql` on the biller's database.
std::vector<std::vector<std::string>> QueryRows(const BillerProcess& biller,
                                                const std::string& sql);

std::vector<Json> ActivityRecords(const BillerProcess& biller, const std::string& log_name);

Json StoreArguments(const Json& endpoints);

// A biller (store calls time out after 2 s) pointed at fakes on server_,
// and a client; skipped without a test database.
class StoreValidationTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void Start(const Json& arguments, std::vector<std::string> flags = {},
             const std::vector<std::string>& auth_keys = {});
  // The "all_time" counts of `store` and of "total", waiting for them.
  void ExpectCounts(const std::string& store, const std::map<std::string, int64_t>& expected);

  FakeHttpServer server_;
  std::unique_ptr<BillerProcess> biller_;
  std::unique_ptr<ValidationClient> client_;
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_VALIDATION_CLIENT_H_
