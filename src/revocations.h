// Revocations: purchases a store took back after the biller provisioned
// them. The Google voided-purchases poller and the store notification
// endpoints hand each one to RecordRevocation; game servers read them back
// from the api service's feed, GET /v1/revocations?since=C&limit=N.
#ifndef SRC_REVOCATIONS_H_
#define SRC_REVOCATIONS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/http_server.h"
#include "framework/json.h"
#include "src/database.h"

namespace tvx {

inline constexpr char kRevocationsFeedPath[] = "/v1/revocations";
inline constexpr int kFeedDefaultLimit = 100;
inline constexpr int kFeedMaxLimit = 1000;

// Where a revocation was learnt ("source" of the feed).
inline constexpr char kSourceVoidedPurchases[] = "google_voided_purchases";
inline constexpr char kSourceGoogleNotification[] = "google_rtdn";
inline constexpr char kSourceAppStoreNotification[] = "app_store_notification";

// Records `row` in the database once; a new one also gets its
// "Revocation" activity line, its count in biller_revocations_total and a
// log line. `done` runs once, on the agent's io group: true when the
// revocation is recorded (now or before), false when the database failed
// (the caller asks again later).
void RecordRevocation(const RevocationRow& row, std::function<void(bool recorded)> done);

// The feed's query "since=C&limit=N" (either may be left out). False, with
// `error` saying which, when one is not a number in range; a limit above
// kFeedMaxLimit is capped.
bool ParseFeedQuery(const std::string& target, uint64_t* since, int* limit, std::string* error);
// The feed's answer: {"revocations": [...], "next_since": C}; C is the last
// entry's seq, or `since` when there is none.
Json RenderFeed(const std::vector<RecordedRevocation>& revocations, uint64_t since);

// The value of `name` in the query of `target`, percent-decoded; false when
// the query has no such parameter.
bool QueryParameter(const std::string& target, const std::string& name, std::string* value);

// Serves the feed on the api service while the agent runs.
void StartRevocationFeed();
void StopRevocationFeed();

}  // namespace tvx

#endif  // SRC_REVOCATIONS_H_
