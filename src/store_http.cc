#include "src/store_http.h"

#include <glog/logging.h>

#include "src/billing_error.h"
#include "src/log_text.h"

namespace tvx {

bool IsRetryable(http::TransportCode transport, int status_code) {
  return transport != http::TransportCode::kOk || (status_code >= 500 && status_code <= 599);
}

std::string ForLog(const std::string& body) { return ToLogText(body, kMaxLoggedBodyBytes); }

std::string UrlPathSegment(const std::string& text) {
  if (text == ".") return "%2E";
  if (text == "..") return "%2E%2E";
  return http::UrlEncode(text);
}

QueryStatus ReadQueryStatus(const char* tag, const char* store, http::TransportCode transport,
                            const http::Response& response, const std::string& body) {
  if (IsRetryable(transport, response.status_code)) {
    LOG(ERROR) << tag << "Failed to get a receipt validation response: code=" << transport
               << ", status_code=" << response.status_code << ", message=" << body;
    return QueryStatus::kUnreachable;
  }
  if (response.status_code == 200) return QueryStatus::kAnswered;
  LOG(WARNING) << tag << "Failed to validate " << store << " receipt: message=" << body;
  return response.status_code == 401 ? QueryStatus::kTokenRejected : QueryStatus::kRefused;
}

boost::system::error_code MalformedAnswer(const char* tag, const char* store,
                                          const std::string& why, const std::string& body) {
  LOG(ERROR) << tag << why;
  LOG(ERROR) << tag << "Invalid " << store << " receipt found: message=" << body;
  return MakeBillerError(kServiceProviderProtocolError);
}

}  // namespace tvx
