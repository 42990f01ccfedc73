#include "src/flow_outcome.h"

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "src/billing_agent.h"
#include "src/billing_error.h"

namespace tvx {

void AnswerInsertResult(const BillerDatabase::InsertReceiptResult& result, const char* tag,
                        const char* store_name, ValidationStatistics& store_statistics,
                        const std::shared_ptr<Request>& request, const std::string& fields,
                        const Json& decoded_receipt, const std::function<void()>& on_verified) {
  const Uuid uuid = request->request_uuid();
  auto record = [&](int32_t code) {
    RecordValidation(the_total_statistics, code, request->start_time);
    RecordValidation(store_statistics, code, request->start_time);
  };
  switch (result) {
    case BillerDatabase::kInsertSucceeded: {
      LOG(INFO) << tag << "Verified" << fields;
      if (on_verified) on_verified();
      const auto& validation = request->request_message->receipt_validation();
      if (validation.has_fill_decoded_receipt() && validation.fill_decoded_receipt()) {
        Json decoded = decoded_receipt;
        decoded.SetString(kBillingServiceProviderKey, store_name);
        BillingAgent::SendResponse(
            request, BillingMessageWriter::CreateReceiptValidationResponseSuccess(uuid, decoded));
      } else {
        BillingAgent::SendResponse(
            request, BillingMessageWriter::CreateReceiptValidationResponseSuccess(uuid));
      }
      record(kSuccess);
      return;
    }
    case BillerDatabase::kInsertDuplicated:
      LOG(WARNING) << tag << "Already provisioned" << fields;
      BillingAgent::SendResponse(
          request, BillingMessageWriter::CreateReceiptValidationResponse(
                       uuid, Biller::ReceiptValidation_Response::kFailAlreadyProvisioned));
      record(kAlreadyProvisioned);
      return;
    case BillerDatabase::kInsertConnectionFailed:
      LOG(WARNING) << tag
                   << "Failed to update the receipt, Please check your database connection/server"
                   << fields;
      break;
    default:
      LOG(WARNING) << tag << "Unknown database issue, Please check your database connection/server"
                   << fields;
      break;
  }
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateFailResponse(
                                          uuid, kDatabaseError, DescribeError(kDatabaseError)));
  record(kDatabaseError);
}

}  // namespace tvx
