#include "src/store_flow.h"

#include <cstdlib>
#include <sstream>
#include <utility>

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/clock.h"
#include "framework/uuid.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/purchase_log.h"
#include "src/log_text.h"

namespace tvx {

StoreFlow::StoreFlow(const StoreTraits& store, ValidationStart start)
    : store_(store),
      request_(std::move(start.request)),
      receipt_(std::move(start.receipt)),
      account_(std::move(start.account)),
      back_off_(std::move(start.back_off)) {}

bool HasText(const Json& receipt, const char* key) {
  return receipt.HasAttribute(key, Json::kString) && !receipt.GetString(key).empty();
}

bool StoreFlow::first_attempt() const { return !back_off_ || back_off_->try_count() == 0; }

ReceiptOwner StoreFlow::owner() const {
  return ReceiptOwner{request_->session->client_id(), account_.id(), account_.service_provider()};
}

std::string StoreFlow::Fields() const {
  std::ostringstream fields;
  fields << ": session=";
  if (store_.session_by_id) {
    fields << util::ToString(request_->session->id());
  } else {
    fields << request_->session;
  }
  fields << ", account id=" << AccountForLog(account_) << ", receipt=" << JsonForLog(receipt_);
  return fields.str();
}

void StoreFlow::Answer(int result) const {
  BillingAgent::SendResponse(request_, BillingMessageWriter::CreateReceiptValidationResponse(
                                           request_->request_uuid(), result));
}

void StoreFlow::Record(int32_t code) const {
  RecordValidation(the_total_statistics, code, request_->start_time);
  RecordValidation(*store_.statistics, code, request_->start_time);
}

void StoreFlow::Communicated(int64_t send_time) const {
  RecordCommunication(the_total_statistics, send_time);
  RecordCommunication(*store_.statistics, send_time);
}

void StoreFlow::Refuse(const Refusal& refusal, const std::string& detail) const {
  LOG(WARNING) << store_.tag << refusal.what << Fields() << detail;
  Answer(refusal.result);
  Record(refusal.code);
}

void StoreFlow::Fail(int32_t code, const std::string& message, int32_t counted) const {
  BillingAgent::SendResponse(
      request_, BillingMessageWriter::CreateFailResponse(request_->request_uuid(), code, message));
  Record(counted);
}

void StoreFlow::RefuseMalformed(const char* what) const {
  LOG(WARNING) << store_.tag << what << ": session_id=" << util::ToString(request_->session->id())
               << ", receipt=" << JsonForLog(receipt_);
  Answer(Biller::ReceiptValidation_Response::kFailWrongReceipt);
}

bool StoreFlow::StoreReplied(const RetryStep& step, int64_t send_time,
                             const boost::system::error_code& error,
                             std::function<void()> retry) const {
  Communicated(send_time);
  if (!error) return true;
  RetryOrGiveUp(step, error, std::move(retry));
  return false;
}

bool StoreFlow::RefuseWithoutTexts(std::initializer_list<const char*> keys,
                                   const char* what) const {
  if (!first_attempt()) return false;
  for (const char* key : keys) {
    if (HasText(receipt_, key)) continue;
    LOG(WARNING) << what << ": session=" << request_->session
                 << ", receipt=" << JsonForLog(receipt_);
    Answer(Biller::ReceiptValidation_Response::kFailWrongReceipt);
    return true;
  }
  return false;
}

bool StoreFlow::RefuseWithoutClientId(const std::string& client_id, const char* service) const {
  if (!client_id.empty()) return false;
  LOG(WARNING) << "Could not find authentication information for " << service
               << " service. Please check your client id.";
  LOG(WARNING) << "session=" << request_->session << ", receipt=" << JsonForLog(receipt_);
  Answer(Biller::ReceiptValidation_Response::kFailNotAuthenticatedServiceProvider);
  return true;
}

void StoreFlow::AfterToken(const RetryStep& token_step, const boost::system::error_code& error,
                           std::function<void()> retry_token,
                           const std::function<void()>& next) const {
  if (error) {
    RetryOrGiveUp(token_step, error, std::move(retry_token));
    return;
  }
  back_off_->Reset();
  next();
}

void StoreFlow::RequestToken(const RetryStep& token_step, const std::string& client_id,
                             const char* service,
                             std::function<void(AccessTokenCallback)> get_token,
                             std::function<void()> next) const {
  if (first_attempt() && RefuseWithoutClientId(client_id, service)) return;
  get_token([self = shared_from_this(), step = &token_step, client_id, service, get_token,
             next](const std::string& /*access_token*/, const boost::system::error_code& error) {
    self->AfterToken(
        *step, error,
        [self, step, client_id, service, get_token, next] {
          self->RequestToken(*step, client_id, service, get_token, next);
        },
        next);
  });
}

void StoreFlow::LogAsking(const char* what, std::initializer_list<const char*> keys) const {
  std::ostringstream line;
  line << what;
  for (const char* key : keys) {
    line << key << "=" << LogText(receipt_.GetString(key)) << ", ";
  }
  line << "try_count=" << back_off_->try_count();
  LOG(INFO) << line.str();
}

void StoreFlow::LogSucceeded(const char* store) {
  LOG(INFO) << "Validating " << store << " receipt was successful, Now updating the data";
}

void StoreFlow::AssertSucceeded(const char* adapter) {
  LOG(FATAL) << "Assert failed: response.code == " << adapter << "::ReceiptValidationResponse"
             << "::kSuccess";
  std::abort();
}

void StoreFlow::RetryOrGiveUp(const RetryStep& step, const boost::system::error_code& error,
                              std::function<void()> retry) const {
  if (!back_off_) LOG(FATAL) << "Assert failed: back_off";
  if (step.purchase_step) Record(kServiceProviderCommunicationError);
  tvx::RetryOrGiveUp(step, error, back_off_, request_, account_, receipt_, std::move(retry));
}

void StoreFlow::LogPurchase(const std::string& product_id, int64_t quantity,
                            int64_t client_timestamp, const std::string& client_timezone) const {
  const ReceiptOwner who = owner();
  tvx::LogPurchase(who.biller_client_id, who.account_id, who.account_service_provider, product_id,
                   quantity, client_timestamp, client_timezone,
                   WallClock::ToSeconds(WallClock::Now()));
}

void StoreFlow::InsertThenAnswer(InsertCall insert, InsertAnswer answer) const {
  // The callback is copied on its way through the database: it holds the
  // answer (a receipt among it) by pointer, not by value.
  auto done = [self = shared_from_this(),
               answer = std::make_shared<const InsertAnswer>(std::move(answer))](
                  const BillerDatabase::InsertReceiptResult& result) {
    self->OnInserted(result, *answer);
  };
  const std::shared_ptr<BillerDatabase> database = the_db_connection;
  if (!database) {
    done(BillerDatabase::kInsertConnectionFailed);
    return;
  }
  insert(*database, done);
}

void StoreFlow::OnInserted(BillerDatabase::InsertReceiptResult result,
                           const InsertAnswer& answer) const {
  if (store_.inserted_trace) VLOG(2) << store_.inserted_trace;
  const std::string fields = answer.fields ? answer.fields() : Fields();
  const Uuid uuid = request_->request_uuid();
  const InsertLines& lines = store_.insert_lines;
  switch (result) {
    case BillerDatabase::kInsertSucceeded: {
      LOG(INFO) << store_.tag << lines.verified << fields;
      if (answer.on_verified) answer.on_verified();
      const auto& validation = request_->request_message->receipt_validation();
      if (answer.decoded_receipt && validation.has_fill_decoded_receipt() &&
          validation.fill_decoded_receipt()) {
        Json decoded = *answer.decoded_receipt;
        decoded.SetString(kBillingServiceProviderKey, store_.store_name);
        BillingAgent::SendResponse(
            request_, BillingMessageWriter::CreateReceiptValidationResponseSuccess(uuid, decoded));
      } else {
        BillingAgent::SendResponse(
            request_, BillingMessageWriter::CreateReceiptValidationResponseSuccess(uuid));
      }
      Record(kSuccess);
      return;
    }
    case BillerDatabase::kInsertDuplicated:
      LOG(WARNING) << store_.tag << lines.duplicated << fields;
      Answer(Biller::ReceiptValidation_Response::kFailAlreadyProvisioned);
      Record(kAlreadyProvisioned);
      return;
    case BillerDatabase::kInsertConnectionFailed:
      LOG(WARNING) << store_.tag << lines.connection_failed << fields;
      break;
    default:
      LOG(WARNING) << store_.tag << lines.failed << fields;
      break;
  }
  BillingAgent::SendResponse(request_, BillingMessageWriter::CreateFailResponse(
                                           uuid, kDatabaseError, DescribeError(kDatabaseError)));
  Record(kDatabaseError);
}

}  // namespace tvx
