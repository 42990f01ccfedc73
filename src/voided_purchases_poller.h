// Google Play's voided purchases: for each package of the install argument
// "google_play_voided_purchases", a poller asks the Android Publisher API's
// voidedpurchases list every poll interval, reads every page, records each
// entry as a revocation and keeps the latest voided time seen (the
// high-water mark) in the database, where the next poll, after a restart
// too, starts. A poll never reaches back more than 30 days (the list keeps
// no more). A failed poll is tried again on the store back-off schedule.
//
// Each poller is one chain of steps on the agent's io group: a timer starts
// a poll, each step starts the next, and only the end of a poll sets the
// timer again, so a package never has two polls in flight.
#ifndef SRC_VOIDED_PURCHASES_POLLER_H_
#define SRC_VOIDED_PURCHASES_POLLER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/http_client.h"
#include "framework/io_service.h"
#include "framework/json.h"
#include "framework/timer.h"
#include "src/database.h"
#include "src/exponential_backoff.h"
#include "src/google_play_adapter.h"

namespace tvx {

inline constexpr int64_t kVoidedLookBackMs = int64_t{30} * 24 * 3600 * 1000;
inline constexpr int kVoidedPageSize = 1000;
// Pages one poll reads at most; the next poll goes on from the mark.
inline constexpr int kMaxVoidedPagesPerPoll = 100;

struct VoidedPurchasesConfig {
  std::vector<std::string> package_names;  // distinct
  GoogleServiceAccount account;
  int64_t poll_interval_s = 300;
};

// Reads the install argument (null: no polling). False, with `error`
// naming the wrong member, otherwise; the configuration is then unchanged.
bool SetVoidedPurchasesConfig(const Json& argument, std::string* error);

// One page of the list: its entries as revocations, the latest voided time
// among them (0 for none) and the next page's token ("" on the last page).
struct VoidedPurchasesPage {
  std::vector<RevocationRow> revocations;
  int64_t latest_voided_ms = 0;
  std::string next_page_token;
};
// False when `body` is not the list's answer or an entry has no purchase
// token or voided time.
bool ReadVoidedPurchasesPage(const std::string& body, VoidedPurchasesPage* page);

// The list's address for one page of `package_name` from `start_time_ms`.
std::string VoidedPurchasesUrl(const std::string& api_base, const std::string& package_name,
                               int64_t start_time_ms, const std::string& page_token);
// Where a poll starts: the mark, but never more than 30 days before now.
int64_t VoidedPurchasesStartTime(int64_t high_water_ms, int64_t now_ms);

class VoidedPurchasesPoller : public std::enable_shared_from_this<VoidedPurchasesPoller> {
 public:
  static std::shared_ptr<VoidedPurchasesPoller> Create(std::shared_ptr<IoContext> io,
                                                       std::string package_name,
                                                       GoogleServiceAccount account,
                                                       int64_t interval_s);
  // Polls now, then every interval. Once.
  void Start();
  // No poll starts after this; a poll in flight ends at its next step.
  // Thread-safe.
  void Stop();

 private:
  VoidedPurchasesPoller(std::shared_ptr<IoContext> io, std::string package_name,
                        GoogleServiceAccount account, int64_t interval_s);

  void Schedule(int64_t delay_us);
  void Poll();
  void AskToken();
  void AskPage();
  void OnPage(http::TransportCode code, const http::Response& response);
  void RecordNext(std::shared_ptr<VoidedPurchasesPage> page, size_t index);
  void EndPoll();
  void Succeed();
  void Fail(const std::string& why);

  const std::string package_name_;
  const GoogleServiceAccount account_;
  const int64_t interval_us_;
  std::shared_ptr<HttpClient> client_;
  std::atomic<bool> stopped_{false};
  std::mutex timer_mutex_;
  TimerId timer_ = Timer::kInvalidTimerId;  // GUARDED_BY(timer_mutex_)

  // The poll under way; touched by one step at a time.
  ExponentialBackoff back_off_{kBackoffInitialWaitTime, kBackoffMaxWaitTime};
  int64_t mark_ms_ = 0;
  int64_t start_ms_ = 0;
  int64_t latest_ms_ = 0;
  int pages_ = 0;
  std::string access_token_;
  std::string page_token_;
};

// Starts a poller per configured package; stops them. Start after the
// database, stop before it.
void StartVoidedPurchasesPollers();
void StopVoidedPurchasesPollers();

}  // namespace tvx

#endif  // SRC_VOIDED_PURCHASES_POLLER_H_
