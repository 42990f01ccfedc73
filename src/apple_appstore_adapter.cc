#include "src/apple_appstore_adapter.h"

#include <charconv>
#include <exception>
#include <utility>
#include <vector>

#include <boost/date_time/local_time/local_time.hpp>
#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "src/billing_error.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

using Rvr = AppleAppStoreAdapter::ReceiptValidationResponse;

constexpr char kTag[] = "[Apple AppStore] ";

// Apple's receipt statuses the adapter tells apart.
constexpr int64_t kStatusValid = 0;
constexpr int64_t kStatusServerUnavailable = 21005;
constexpr int64_t kStatusSandboxReceipt = 21007;

Rvr MakeRecord(Rvr::Code code) {
  Rvr record;
  record.code = code;
  return record;
}

AppleAppStoreVerdict Fail(int32_t biller_code) {
  AppleAppStoreVerdict verdict;
  verdict.error = MakeBillerError(biller_code);
  verdict.response = AppleAppStoreAdapter::EmptyResponse();
  return verdict;
}

AppleAppStoreVerdict Verdict(const Rvr& record) {
  AppleAppStoreVerdict verdict;
  verdict.response = record;
  return verdict;
}

AppleAppStoreVerdict WrongAttribute(const char* attribute, const std::string& body) {
  LOG(ERROR) << kTag << "Wrong attribute type found" << ": attribute='" << attribute
             << "', body=" << body;
  return Fail(kServiceProviderProtocolError);
}

// Reads a string member of `element` into `out`; false when it is missing or
// not a string.
bool ReadString(const Json& element, const char* name, std::string* out) {
  if (!element.HasAttribute(name, Json::kString)) return false;
  *out = element.GetString(name);
  return true;
}

// Non-negative decimal digits of `text` as a number; nullopt on anything
// else or on overflow.
template <typename T>
std::optional<T> ParseDigits(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (true) {
    const size_t at = text.find(separator, start);
    pieces.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) return pieces;
    start = at + 1;
  }
}

// "YYYY-MM-DD" and "hh:mm:ss[.fraction]" as microseconds since the epoch,
// read as UTC.
std::optional<int64_t> ParseUtcMicros(std::string_view date, std::string_view time) {
  const auto ymd = Split(date, '-');
  if (ymd.size() != 3 || ymd[0].size() > 4) return std::nullopt;
  const auto year = ParseDigits<int64_t>(ymd[0]);
  const auto month = ParseDigits<int>(ymd[1]);
  const auto day = ParseDigits<int>(ymd[2]);
  if (!year || !month || !day || *year < 1400 || *month < 1 || *month > 12 || *day < 1 ||
      *day > DaysInMonth(*year, *month)) {
    return std::nullopt;
  }

  std::string_view fraction;
  if (const size_t dot = time.find('.'); dot != std::string_view::npos) {
    fraction = time.substr(dot + 1);
    time = time.substr(0, dot);
    if (fraction.empty()) return std::nullopt;
  }
  const auto hms = Split(time, ':');
  if (hms.size() != 3) return std::nullopt;
  const auto hours = ParseDigits<int>(hms[0]);
  const auto minutes = ParseDigits<int>(hms[1]);
  const auto seconds = ParseDigits<int>(hms[2]);
  if (!hours || !minutes || !seconds || *hours > 23 || *minutes > 59 || *seconds > 59) {
    return std::nullopt;
  }
  int64_t micros_of_fraction = 0;
  if (!fraction.empty()) {
    for (char c : fraction) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    // Digits beyond the microsecond are dropped.
    std::string six(fraction.substr(0, 6));
    six.resize(6, '0');
    micros_of_fraction = *ParseDigits<int64_t>(six);
  }
  const int64_t days = DaysFromCivil(*year, *month, *day);
  const int64_t seconds_of_day = *hours * 3600 + *minutes * 60 + *seconds;
  return (days * 86400 + seconds_of_day) * 1000000 + micros_of_fraction;
}

// Whether `short_zone` reads as a POSIX time zone. Only a log line depends on
// it: the zone never shifts the instant.
bool IsPosixZone(const std::string& short_zone) {
  try {
    boost::local_time::posix_time_zone zone(short_zone);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

const Rvr& AppleAppStoreAdapter::EmptyResponse() {
  static const Rvr record = MakeRecord(Rvr::kSuccess);
  return record;
}

const Rvr& AppleAppStoreAdapter::CancelledResponse() {
  static const Rvr record = MakeRecord(Rvr::kCancelled);
  return record;
}

const Rvr& AppleAppStoreAdapter::InvalidReceiptResponse() {
  static const Rvr record = MakeRecord(Rvr::kInvalidReceipt);
  return record;
}

const Rvr& AppleAppStoreAdapter::MissingProductInformationResponse() {
  static const Rvr record = MakeRecord(Rvr::kMissingProductInformation);
  return record;
}

std::shared_ptr<AppleAppStoreAdapter> AppleAppStoreAdapter::Create(
    std::shared_ptr<IoContext> io_service) {
  return std::shared_ptr<AppleAppStoreAdapter>(new AppleAppStoreAdapter(std::move(io_service)));
}

std::string MakeAppleAppStoreRequestBody(const Json& receipt) {
  Json body = Json::Object();
  body.SetString("receipt-data", receipt.GetString(kAppleAppStoreReceiptDataKey));
  return body.ToString();
}

void AppleAppStoreAdapter::RequestReceiptValidation(const bool& is_sandbox, const Json& receipt,
                                                    Callback callback) {
  const auto endpoints = GetStoreEndpoints();
  const std::string& url =
      is_sandbox ? endpoints->apple_sandbox_url : endpoints->apple_production_url;
  auto body = std::make_shared<const std::string>(MakeAppleAppStoreRequestBody(receipt));

  http_client_ = std::make_shared<HttpClient>(io_service_);
  http_client_->SetHeader("Content-Type", "application/json");
  http_client_->PostAsync(
      url, std::move(body),
      [self = shared_from_this(), is_sandbox, receipt, callback = std::move(callback)](
          http::TransportCode code, const http::Response& response) {
        self->OnReceiptValidationResponse(is_sandbox, receipt, callback, code, response);
      },
      0);
}

void AppleAppStoreAdapter::OnReceiptValidationResponse(bool is_sandbox, const Json& receipt,
                                                       const Callback& callback,
                                                       http::TransportCode code,
                                                       const http::Response& response) {
  AppleAppStoreVerdict verdict = CheckAppleAppStoreAnswer(is_sandbox, receipt, code, response);
  if (verdict.ask_sandbox) {
    LOG(INFO) << kTag << "Sandbox receipt" << ": " << receipt.ToString();
    RequestReceiptValidation(true, receipt, callback);
    return;
  }
  callback(verdict.error, verdict.response);
}

AppleAppStoreVerdict CheckAppleAppStoreAnswer(bool is_sandbox, const Json& receipt,
                                              http::TransportCode code,
                                              const http::Response& response) {
  // Only log lines use `body`: a store's answer may be of any size.
  const std::string body = ForLog(response.body);
  if (IsRetryable(code, response.status_code)) {
    LOG(ERROR) << kTag << "Failed to get a receipt validation response" << ": code=" << code
               << ", status_code=" << response.status_code << ", message=" << body;
    AppleAppStoreVerdict verdict;
    verdict.error = MakeCommonError(kHttpRequestFailure);
    verdict.response = AppleAppStoreAdapter::EmptyResponse();
    return verdict;
  }
  if (response.status_code != 200) {
    LOG(WARNING) << kTag << "Failed to validate Apple AppStore receipt" << ": message=" << body;
    return Verdict(AppleAppStoreAdapter::InvalidReceiptResponse());
  }

  Json answer;
  if (!answer.FromString(response.body) || !answer.IsObject()) {
    LOG(ERROR) << kTag << "Failed to parse JSON from the response" << ": body=" << body;
    return Fail(kServiceProviderProtocolError);
  }
  VLOG(2) << "body=" << answer.ToString();

  if (!answer.HasAttribute("status", Json::kInteger)) return WrongAttribute("status", body);
  const int64_t status = answer.GetInteger("status");
  if (status == kStatusSandboxReceipt && !is_sandbox) {
    AppleAppStoreVerdict verdict;
    verdict.ask_sandbox = true;
    return verdict;
  }
  if (status == kStatusServerUnavailable) {
    LOG(WARNING) << kTag << "Apple AppStore server is currently not available"
                 << ": receipt=" << receipt.ToString();
    return Fail(kServiceProviderCommunicationError);
  }
  if (status != kStatusValid) {
    LOG(WARNING) << kTag << "Invalid Apple AppStore receipt found"
                 << ": receipt=" << receipt.ToString();
    return Verdict(AppleAppStoreAdapter::InvalidReceiptResponse());
  }

  const Json apple_receipt = answer["receipt"];
  if (!apple_receipt.IsObject()) return WrongAttribute("receipt", body);
  const Json in_app = apple_receipt["in_app"];
  if (!in_app.IsArray()) return WrongAttribute("in_app", body);
  if (in_app.Size() == 0) {
    return Verdict(AppleAppStoreAdapter::MissingProductInformationResponse());
  }

  // The first purchase of the requested product is the one the client means.
  const std::string requested_product_id = receipt.GetString(kAppleAppStoreProductIdKey);
  Json purchase;
  std::string other_product_ids;
  for (size_t i = 0; i < in_app.Size(); ++i) {
    const Json element = in_app[i];
    if (!element.HasAttribute("product_id", Json::kString)) {
      return WrongAttribute("product_id", body);
    }
    const std::string product_id = element.GetString("product_id");
    if (product_id == requested_product_id) {
      purchase = element;
      break;
    }
    if (!other_product_ids.empty()) other_product_ids += ", ";
    other_product_ids += product_id;
  }
  if (purchase.IsNull()) {
    LOG(ERROR) << kTag << "Could not find 'request_product_id' in 'in_app'"
               << "request_product_id=" << requested_product_id
               << ", in_app_product_ids=" << other_product_ids << ", http_response=" << body;
    return Fail(kProductMismatch);
  }

  Rvr record;
  record.product_id = purchase.GetString("product_id");
  if (!purchase.HasAttribute("quantity", Json::kString)) return WrongAttribute("quantity", body);
  // A quantity Apple writes in any other form than a decimal number is not
  // an answer this adapter can vouch for.
  const std::optional<int64_t> quantity =
      ParseAppleAppStoreQuantity(purchase.GetString("quantity"));
  if (!quantity) return WrongAttribute("quantity", body);
  const int64_t requested_quantity = receipt.GetInteger(kAppleAppStoreQuantityKey);
  if (*quantity != requested_quantity) {
    LOG(ERROR) << kTag << "Wrong quantity value found"
               << ": quantity_requested=" << requested_quantity << ", quantity_in_receipt"
               << *quantity << ", body=" << body;
    return Fail(kProductMismatch);
  }
  if (!ReadString(purchase, "transaction_id", &record.transaction_id)) {
    return WrongAttribute("transaction_id", body);
  }
  if (!ReadString(purchase, "original_transaction_id", &record.original_transaction_id)) {
    return WrongAttribute("original_transaction_id", body);
  }
  if (!ReadString(purchase, "purchase_date", &record.purchase_date)) {
    return WrongAttribute("purchase_date", body);
  }
  if (!ReadString(purchase, "original_purchase_date", &record.original_purchase_date)) {
    return WrongAttribute("original_purchase_date", body);
  }

  if (purchase.HasAttribute("expires_date") || purchase.HasAttribute("web_order_line_item_id")) {
    LOG(ERROR) << kTag << "Subscription receipt is currently not supported" << ": body=" << body;
    return Verdict(AppleAppStoreAdapter::InvalidReceiptResponse());
  }
  if (purchase.HasAttribute("cancellation_date")) {
    return Verdict(AppleAppStoreAdapter::CancelledResponse());
  }

  // Both dates are recorded and the purchase date is logged as a timestamp:
  // a date that cannot be read must stop the purchase before it is recorded.
  AppleAppStoreDate unused;
  const std::pair<const char*, const std::string*> dates[] = {
      {"purchase_date", &record.purchase_date},
      {"original_purchase_date", &record.original_purchase_date}};
  for (const auto& [name, text] : dates) {
    if (!ConvertAppleAppStoreDate(*text, &unused)) {
      LOG(ERROR) << kTag << "Unreadable date found" << ": attribute='" << name
                 << "', value=" << *text << ", body=" << body;
      return Fail(kServiceProviderProtocolError);
    }
  }

  record.decoded_receipt = std::move(answer);
  record.is_sandbox = is_sandbox;
  if (record.code != Rvr::kSuccess) {
    LOG(FATAL) << "Assert failed: response.code == ReceiptValidationResponse::kSuccess";
  }
  return Verdict(record);
}

std::optional<int64_t> ParseAppleAppStoreQuantity(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const auto magnitude = ParseDigits<uint64_t>(text);
  if (!magnitude) return std::nullopt;
  constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
  if (negative) {
    if (*magnitude > kMax + 1) return std::nullopt;
    return *magnitude == kMax + 1 ? INT64_MIN : -static_cast<int64_t>(*magnitude);
  }
  if (*magnitude > kMax) return std::nullopt;
  return static_cast<int64_t>(*magnitude);
}

bool ConvertAppleAppStoreDate(const std::string& text, AppleAppStoreDate* date,
                              std::string* date_time) {
  const std::vector<std::string_view> pieces = Split(text, ' ');
  std::string zone;
  std::string short_zone;
  if (pieces.size() == 3) {
    zone = std::string(pieces[2]);
    const size_t slash = zone.rfind('/');
    short_zone = slash == std::string::npos ? zone : zone.substr(slash + 1);
    if (const size_t underscore = short_zone.find('_'); underscore != std::string::npos) {
      short_zone.erase(underscore, 1);
    }
  }
  if (short_zone.empty()) short_zone = "GMT";
  if (zone.empty()) zone = "GMT";
  if (pieces.size() < 2) return false;

  const std::optional<int64_t> micros = ParseUtcMicros(pieces[0], pieces[1]);
  if (!micros) return false;
  if (!IsPosixZone(short_zone)) {
    LOG(ERROR) << "Wrong Apple Appstore purchase date. " << "purchase_date=" << text;
  }
  if (date_time) *date_time = std::string(pieces[0]) + " " + std::string(pieces[1]);
  date->epoch_seconds = *micros / 1000000;
  date->zone = std::move(zone);
  return true;
}

}  // namespace tvx
