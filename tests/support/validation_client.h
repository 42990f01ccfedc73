// Helpers of the store validation tests: a biller client's TCP connection,
// authenticated without store keys as App Store, TStore and PlayStation
// clients are, and readers of what a validation left behind (statistics,
// rows, Purchase records).
#ifndef TESTS_SUPPORT_VALIDATION_CLIENT_H_
#define TESTS_SUPPORT_VALIDATION_CLIENT_H_

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "framework/biller.pb.h"
#include "framework/json.h"
#include "tests/support/biller_process.h"

namespace tvx::testing {

class ValidationClient {
 public:
  // Connects and authenticates as `client_id`; see ok().
  explicit ValidationClient(const BillerProcess& biller,
                            const std::string& client_id = "game-server-1");

  bool ok() const { return ok_; }

  // One validation and its answer (a default answer when none came; the
  // test then fails on the uuid check).
  Biller::Response Validate(const std::string& receipt, bool fill_decoded_receipt = false,
                            const std::string& player_id = "player-1",
                            const std::string& player_service_provider = "guest");
  // Sends a validation without waiting for its answer.
  bool Send(const std::string& receipt);
  bool Receive(Biller::Response* response, std::chrono::milliseconds timeout = 10s);

 private:
  TcpClient tcp_;
  bool ok_ = false;
};

// The validation result of an answer, or the failure code of a fail answer.
int64_t ResultOf(const Biller::Response& response);

// Waits until the "all_time" block of the store's validation statistics
// ("total", "apple", "tstore", "p4store"...) holds every expected count; the
// block as last read when it never does. Counts are recorded just after an
// answer is sent, hence the wait.
Json AwaitAllTimeCounts(const BillerProcess& biller, const std::string& store,
                        const std::map<std::string, int64_t>& expected,
                        std::chrono::milliseconds timeout = 5s);
// True when `block` holds every expected count.
bool HasCounts(const Json& block, const std::map<std::string, int64_t>& expected);

// Rows of `sql` run on the biller's database, each row's columns split at
// tabs.
std::vector<std::vector<std::string>> QueryRows(const BillerProcess& biller,
                                                const std::string& sql);

// The records of an activity log of the biller, one Json per line.
std::vector<Json> ActivityRecords(const BillerProcess& biller, const std::string& log_name);

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_VALIDATION_CLIENT_H_
