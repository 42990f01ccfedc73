// The retry policy every store flow applies when a store step fails: a
// transport failure (common error 1) is tried again after a back-off delay
// until the delay bound has reached its ceiling; any other failure, or one
// after the ceiling, gives up and answers the client with a failure.
#ifndef SRC_RETRY_POLICY_H_
#define SRC_RETRY_POLICY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <boost/system/error_code.hpp>

#include "framework/json.h"
#include "framework/player_account.h"
#include "src/exponential_backoff.h"
#include "src/session.h"

namespace tvx {

// The delay before the next attempt, or nullopt when the step gives up.
std::optional<int64_t> NextRetryDelay(const boost::system::error_code& error,
                                      ExponentialBackoff* back_off);

// The log lines of one store step.
struct RetryStep {
  const char* retry_line;    // warning, ends in "retry after "
  const char* give_up_line;  // error, the whole prefix
  // Purchase steps log the receipt and name the error ", error_message=";
  // token steps log no receipt and name it ", error=".
  bool purchase_step;
};

// Runs the policy: either logs the retry line and schedules `retry` after the
// delay, or logs the give-up line and answers `request` with a failure
// response carrying ToResultCode(error) and DescribeError(error).
void RetryOrGiveUp(const RetryStep& step, const boost::system::error_code& error,
                   const std::shared_ptr<ExponentialBackoff>& back_off,
                   const std::shared_ptr<Request>& request, const PlayerAccount& account,
                   const Json& receipt, std::function<void()> retry);

// Where retries are scheduled; the framework's timer unless a test replaces
// it. Not thread-safe: set before any request runs.
using RetryScheduler = std::function<void(int64_t delay_microseconds, std::function<void()>)>;
void SetRetrySchedulerForTesting(RetryScheduler scheduler);

}  // namespace tvx

#endif  // SRC_RETRY_POLICY_H_
