// The TStore validation flow: checks the receipt's form, has the adapter
// confirm it (retrying while the store cannot be reached), records a
// confirmed purchase once, and answers. TStore is OneStore's older API, so
// the lines of this flow carry OneStore's tag.
#include <sstream>
#include <string>
#include <vector>

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/clock.h"
#include "framework/uuid.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_statistics.h"
#include "src/flow_outcome.h"
#include "src/retry_policy.h"
#include "src/tstore_adapter.h"

namespace tvx {
namespace {

using Rvr = TStoreAdapter::ReceiptValidationResponse;
using ValidationResponse = Biller::ReceiptValidation_Response;

constexpr char kTag[] = "[OneStore] ";

constexpr RetryStep kReceiptStep = {
    "Failed to validate OneStore receipt, retry after ",
    "[OneStore] Error occurred while communicating with OneStore server", true};

void Record(int32_t code, int64_t start_time) {
  RecordValidation(the_total_statistics, code, start_time);
  RecordValidation(the_tstore_statistics, code, start_time);
}

void Communicated(int64_t send_time) {
  RecordCommunication(the_total_statistics, send_time);
  RecordCommunication(the_tstore_statistics, send_time);
}

void Answer(const std::shared_ptr<Request>& request, int result) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateReceiptValidationResponse(
                                          request->request_uuid(), result));
}

std::string Fields(const Request& request, const PlayerAccount& account, const Json& receipt) {
  std::ostringstream fields;
  fields << ": session=" << util::ToString(request.session->id()) << ", account id=" << account
         << ", receipt=" << receipt.ToString();
  return fields.str();
}

// The product ids the client claims: the strings of the receipt's products
// array, in order.
std::vector<std::string> RequestedProductIds(const Json& receipt) {
  const Json products = receipt[kTStoreProductsKey];
  std::vector<std::string> ids;
  ids.reserve(products.Size());
  for (size_t i = 0; i < products.Size(); ++i) ids.push_back(products[i].GetString());
  return ids;
}

// Logs why the receipt cannot be validated; true when it can.
bool IsWellFormed(const Json& receipt) {
  const Json products = receipt[kTStoreProductsKey];
  if (!products.IsArray()) {
    LOG(ERROR) << kTag << "Wrong attribute type found" << ": attribute='" << kTStoreProductsKey
               << "'" << ", receipt=" << receipt.ToString();
    return false;
  }
  for (size_t i = 0; i < products.Size(); ++i) {
    if (!products[i].IsString()) {
      LOG(ERROR) << kTag << "Wrong element type found" << ": array_attribute='"
                 << kTStoreProductsKey << "'" << ", expected_type='string'"
                 << ", receipt=" << receipt.ToString();
      return false;
    }
  }
  if (!receipt.HasAttribute(kTStoreTxidKey, Json::kString) ||
      !receipt.HasAttribute(kTStoreAppidKey, Json::kString) ||
      !receipt.HasAttribute(kTStoreSigndataKey, Json::kString) ||
      !receipt.HasAttribute(kTStoreTestKey, Json::kBool) ||
      receipt.GetString(kTStoreTxidKey).empty() || receipt.GetString(kTStoreAppidKey).empty() ||
      receipt.GetString(kTStoreSigndataKey).empty()) {
    LOG(ERROR) << kTag << "Missing required fields" << ": fields='" << kTStoreTxidKey << "', '"
               << kTStoreAppidKey << "', '" << kTStoreSigndataKey << "', '" << kTStoreTestKey
               << "', receipt=" << receipt.ToString();
    return false;
  }
  return true;
}

void OnTStoreReceiptInserted(const BillerDatabase::InsertReceiptResult& result,
                             const std::shared_ptr<Request>& request, const Rvr& response,
                             const PlayerAccount& account, const Json& receipt) {
  VLOG(2) << "BillingAgent::OnTStoreReceiptInserted called";
  AnswerInsertResult(result, kTag, kTStoreName, the_tstore_statistics, request,
                     Fields(*request, account, receipt),
                     response.decoded_receipt, nullptr);
}

void OnTStoreReceiptValidated(const std::shared_ptr<Request>& request,
                              const PlayerAccount& account,
                              const std::shared_ptr<ExponentialBackoff>& back_off,
                              const Json& receipt, int64_t send_time,
                              const boost::system::error_code& error, const Rvr& response) {
  if (!back_off) LOG(FATAL) << "Assert failed: back_off";
  Communicated(send_time);

  if (error) {
    // Every failed attempt counts, also one that is retried.
    Record(kServiceProviderCommunicationError, request->start_time);
    RetryOrGiveUp(kReceiptStep, error, back_off, request, account, receipt,
                  [request, receipt, account, back_off] {
                    BillingAgent::RequestTStoreReceiptValidation(request, receipt, account,
                                                                 back_off);
                  });
    return;
  }
  if (response.code == Rvr::kInvalidReceipt) {
    LOG(WARNING) << kTag << "Invalid receipt found" << Fields(*request, account, receipt);
    Answer(request, ValidationResponse::kFailWrongReceipt);
    Record(kWrongReceipt, request->start_time);
    return;
  }
  if (response.code != Rvr::kSuccess) LOG(FATAL) << "Assert failed: response.code == Rvr::kSuccess";

  std::vector<std::string> confirmed_product_ids;
  confirmed_product_ids.reserve(response.products.size());
  for (const TStoreAdapter::Product& product : response.products) {
    confirmed_product_ids.push_back(product.product_id);
  }
  LOG(INFO) << "Validating OneStore receipt was successful, Now updating the data";

  auto done = [request, response, account, receipt](
                  const BillerDatabase::InsertReceiptResult& result) {
    OnTStoreReceiptInserted(result, request, response, account, receipt);
  };
  const std::shared_ptr<BillerDatabase> database = the_db_connection;
  if (!database) {
    done(BillerDatabase::kInsertConnectionFailed);
    return;
  }
  database->InsertTStoreReceipt(request->session->client_id(), account.id(),
                                account.service_provider(), receipt.GetBool(kTStoreTestKey),
                                receipt.GetString(kTStoreTxidKey),
                                receipt.GetString(kTStoreAppidKey),
                                receipt.GetString(kTStoreSigndataKey),
                                RequestedProductIds(receipt), confirmed_product_ids, done);
}

}  // namespace

void BillingAgent::RequestTStoreReceiptValidation(
    const std::shared_ptr<Request>& request, const Json& receipt, const PlayerAccount& account,
    const std::shared_ptr<ExponentialBackoff>& back_off) {
  if (back_off->try_count() == 0 && !IsWellFormed(receipt)) {
    Answer(request, ValidationResponse::kFailWrongReceipt);
    return;
  }
  // A retry hands the adapter the requested products again, so that its
  // product check applies to every attempt, not only the first.
  auto adapter = TStoreAdapter::Create(AgentIo());
  const int64_t send_time = MonotonicClock::Now();
  adapter->RequestReceiptValidation(
      receipt.GetString(kTStoreTxidKey), receipt.GetString(kTStoreAppidKey),
      receipt.GetString(kTStoreSigndataKey), RequestedProductIds(receipt),
      receipt.GetBool(kTStoreTestKey),
      [request, account, back_off, receipt, send_time](const boost::system::error_code& error,
                                                       const Rvr& response) {
        OnTStoreReceiptValidated(request, account, back_off, receipt, send_time, error, response);
      });
}

}  // namespace tvx
