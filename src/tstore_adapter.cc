#include "src/tstore_adapter.h"

#include <boost/algorithm/string/predicate.hpp>
#include <glog/logging.h>

#include "src/billing_error.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

using Rvr = TStoreAdapter::ReceiptValidationResponse;

// The service is OneStore's older API; operators know it by that name.
constexpr char kTag[] = "[OneStore] ";

TStoreVerdict Fail(int32_t biller_code, Rvr record = Rvr()) {
  return TStoreVerdict{MakeBillerError(biller_code), std::move(record)};
}

TStoreVerdict WrongAttribute(const char* attribute, const std::string& body, Rvr record = Rvr()) {
  LOG(ERROR) << kTag << "Wrong attribute type found" << ": attribute='" << attribute << "'"
             << ", body=" << body;
  return Fail(kServiceProviderProtocolError, std::move(record));
}

TStoreVerdict InvalidReceipt() {
  Rvr record;
  record.code = Rvr::kInvalidReceipt;
  return TStoreVerdict{boost::system::error_code(), std::move(record)};
}

}  // namespace

std::shared_ptr<TStoreAdapter> TStoreAdapter::Create(std::shared_ptr<IoContext> io_service) {
  return std::shared_ptr<TStoreAdapter>(new TStoreAdapter(std::move(io_service)));
}

std::string MakeTStoreRequestBody(const std::string& txid, const std::string& appid,
                                  const std::string& signdata) {
  Json body = Json::Object();
  body.SetString("txid", txid);
  body.SetString("appid", appid);
  body.SetString("signdata", signdata);
  return body.ToString();
}

void TStoreAdapter::RequestReceiptValidation(const std::string& txid, const std::string& appid,
                                             const std::string& signdata,
                                             const std::vector<std::string>& product_ids,
                                             const bool& is_test, Callback callback) {
  const auto endpoints = GetStoreEndpoints();
  const std::string& url =
      is_test ? endpoints->tstore_development_url : endpoints->tstore_production_url;
  auto body = std::make_shared<const std::string>(MakeTStoreRequestBody(txid, appid, signdata));

  if (http_client_) LOG(FATAL) << "Assert failed: ! http_client_";
  http_client_ = std::make_shared<HttpClient>(io_service_);
  http_client_->SetHeader("Content-Type", "application/json");
  http_client_->PostAsync(
      url, std::move(body),
      [self = shared_from_this(), txid, appid, product_ids, callback = std::move(callback)](
          http::TransportCode code, const http::Response& response) {
        self->OnReceiptValidationResponse(txid, appid, product_ids, callback, code, response);
      },
      0);
}

void TStoreAdapter::OnReceiptValidationResponse(const std::string& txid, const std::string& appid,
                                                const std::vector<std::string>& product_ids,
                                                const Callback& callback,
                                                http::TransportCode code,
                                                const http::Response& response) {
  const TStoreVerdict verdict = CheckTStoreAnswer(txid, appid, product_ids, code, response);
  callback(verdict.error, verdict.response);
}

TStoreVerdict CheckTStoreAnswer(const std::string& txid, const std::string& appid,
                                const std::vector<std::string>& product_ids,
                                http::TransportCode code, const http::Response& response) {
  // Only log lines use `body`: a store's answer may be of any size.
  const std::string body = ForLog(response.body);
  if (IsRetryable(code, response.status_code)) {
    LOG(ERROR) << kTag << "Failed to get a receipt validation response" << ": code=" << code
               << ", status_code=" << response.status_code << ", message=" << body;
    return TStoreVerdict{MakeCommonError(kHttpRequestFailure), Rvr()};
  }
  if (response.status_code != 200) {
    LOG(WARNING) << kTag << "Failed to validate OneStore receipt, status_code="
                 << response.status_code << ": message=" << body;
    return InvalidReceipt();
  }

  Json answer;
  if (!answer.FromString(response.body) || !answer.IsObject()) {
    LOG(ERROR) << kTag << "Failed to parse JSON from the response" << ": body=" << body;
    return Fail(kServiceProviderProtocolError);
  }
  if (!answer.HasAttribute("status", Json::kInteger)) return WrongAttribute("status", body);
  if (!answer.HasAttribute("detail", Json::kString)) return WrongAttribute("detail", body);
  if (!answer.HasAttribute("message", Json::kString)) return WrongAttribute("message", body);
  const std::string detail = answer.GetString("detail");
  const std::string message = answer.GetString("message");

  if (answer.GetInteger("status") != 0) {
    if (detail == "1000") {
      LOG(WARNING) << kTag << "Missing required fields" << ": detail=" << detail
                   << ", message=" << message;
      return Fail(kServiceProviderProtocolError);
    }
    if (detail == "9100" || detail == "9113") {
      LOG(WARNING) << kTag << "Invalid receipt found" << ": detail=" << detail
                   << ", message=" << message;
      return InvalidReceipt();
    }
    if (detail == "9999") {
      LOG(WARNING) << kTag << "OneStore internal server error" << ": detail=" << detail
                   << ", message=" << message;
      return Fail(kServiceProviderCommunicationError);
    }
    LOG(WARNING) << kTag << "Unexpected receipt validation response" << ": body=" << body;
    return Fail(kServiceProviderProtocolError);
  }

  if (!answer.HasAttribute("count", Json::kInteger)) return WrongAttribute("count", body);
  const Json products = answer["product"];
  if (!products.IsArray()) return WrongAttribute("product", body);
  if (static_cast<int64_t>(products.Size()) != answer.GetInteger("count")) {
    LOG(ERROR) << kTag << "The value of 'count' attribute doesn't match the size of 'product' array"
               << ": body=" << body;
    return Fail(kServiceProviderProtocolError);
  }

  Rvr record;
  for (size_t i = 0; i < products.Size(); ++i) {
    const Json element = products[i];
    if (!element.IsObject()) {
      LOG(ERROR) << kTag << "Wrong element type found" << ": element='product'"
                 << ", body=" << body;
      return Fail(kServiceProviderProtocolError, std::move(record));
    }
    TStoreAdapter::Product& product = record.products.emplace_back();
    if (!element.HasAttribute("appid", Json::kString)) {
      return WrongAttribute("appid", body, std::move(record));
    }
    // Every item must belong to the client's application, not just one.
    if (!boost::algorithm::iequals(element.GetString("appid"), appid)) {
      LOG(ERROR) << kTag << "The 'appid' information does not match the real App ID"
                 << ": req_appid=" << appid << ", body=" << body;
      return Fail(kProductMismatch, std::move(record));
    }
    if (!element.HasAttribute("product_id", Json::kString)) {
      return WrongAttribute("product_id", body, std::move(record));
    }
    product.product_id = element.GetString("product_id");
    if (!element.HasAttribute("log_time", Json::kString)) {
      return WrongAttribute("log_time", body, std::move(record));
    }
    product.log_time = element.GetString("log_time");
    if (!element.HasAttribute("charge_amount", Json::kInteger)) {
      return WrongAttribute("charge_amount", body, std::move(record));
    }
    product.charge_amount = element.GetInteger("charge_amount");
    if (!element.HasAttribute("tid", Json::kString)) {
      return WrongAttribute("tid", body, std::move(record));
    }
    product.tid = element.GetString("tid");
    if (!element.HasAttribute("bp_info", Json::kString)) {
      return WrongAttribute("bp_info", body, std::move(record));
    }
    product.bp_info = element.GetString("bp_info");
  }

  // Every requested product must have been confirmed; confirmed products
  // the client did not name are allowed.
  for (const std::string& requested : product_ids) {
    bool found = false;
    for (const TStoreAdapter::Product& product : record.products) {
      if (boost::algorithm::iequals(product.product_id, requested)) {
        found = true;
        break;
      }
    }
    if (!found) {
      LOG(ERROR) << kTag << "The 'product_id' information does not match the real product ID"
                 << ": product_id=" << requested << ", body=" << body;
      return Fail(kProductMismatch, std::move(record));
    }
  }

  answer.SetString("txid", txid);
  record.decoded_receipt = std::move(answer);
  return TStoreVerdict{boost::system::error_code(), std::move(record)};
}

}  // namespace tvx
