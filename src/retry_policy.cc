#include "src/retry_policy.h"

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/timer.h"
#include "src/billing_agent.h"
#include "src/billing_error.h"
#include "src/log_text.h"

namespace tvx {
namespace {

RetryScheduler& Scheduler() {
  static RetryScheduler scheduler = [](int64_t delay, std::function<void()> retry) {
    RawTimer::ExpireAfter(delay, std::move(retry));
  };
  return scheduler;
}

}  // namespace

void SetRetrySchedulerForTesting(RetryScheduler scheduler) { Scheduler() = std::move(scheduler); }

std::optional<int64_t> NextRetryDelay(const boost::system::error_code& error,
                                      ExponentialBackoff* back_off) {
  // By category as well as number: other categories number their own codes
  // from 1 too, and none of theirs is worth asking again.
  if (error != MakeCommonError(kHttpRequestFailure) || back_off->max_wait_time_reached()) {
    return std::nullopt;
  }
  return back_off->NextWaitTime();
}

void RetryOrGiveUp(const RetryStep& step, const boost::system::error_code& error,
                   const std::shared_ptr<ExponentialBackoff>& back_off,
                   const std::shared_ptr<Request>& request, const PlayerAccount& account,
                   const Json& receipt, std::function<void()> retry) {
  const std::string described = DescribeError(error);
  if (auto delay = NextRetryDelay(error, back_off.get())) {
    LOG(WARNING) << step.retry_line << *delay / 1000000 << " seconds"
                 << ": session=" << request->session << ", account_id=" << AccountForLog(account)
                 << (step.purchase_step ? ", receipt=" + JsonForLog(receipt) : std::string())
                 << ", error_message=" << described << ", try_count=" << back_off->try_count();
    Scheduler()(*delay, std::move(retry));
    return;
  }
  LOG(ERROR) << step.give_up_line << ": session=" << request->session
             << ", account_id=" << AccountForLog(account)
             << (step.purchase_step ? ", receipt=" + JsonForLog(receipt) : std::string())
             << (step.purchase_step ? ", error_message=" : ", error=") << described
             << ", try_count=" << back_off->try_count();
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateFailResponse(
                                          request->request_uuid(), ToResultCode(error), described));
}

}  // namespace tvx
