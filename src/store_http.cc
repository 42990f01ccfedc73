#include "src/store_http.h"

namespace tvx {

bool IsRetryable(http::TransportCode transport, int status_code) {
  return transport != http::TransportCode::kOk || (status_code >= 500 && status_code <= 599);
}

std::string ForLog(const std::string& body) {
  if (body.size() <= kMaxLoggedBodyBytes) return body;
  return body.substr(0, kMaxLoggedBodyBytes) + "...(" + std::to_string(body.size()) + " bytes)";
}

std::string UrlPathSegment(const std::string& text) {
  if (text == ".") return "%2E";
  if (text == "..") return "%2E%2E";
  return http::UrlEncode(text);
}

}  // namespace tvx
