#include "src/access_token_cache.h"

#include <algorithm>
#include <limits>

#include "framework/json.h"

namespace tvx {
namespace {

// Store answers end up in log lines; a runaway body must not flood the log.
constexpr size_t kMaxLoggedBytes = 2048;

}  // namespace

boost::system::error_code ReadAccessTokenAnswer(http::TransportCode transport,
                                                const http::Response& response,
                                                const TokenCacheTexts& texts,
                                                AccessTokenResponse* out) {
  *out = AccessTokenResponse();
  const int status = response.status_code;
  if (transport != http::TransportCode::kOk || (status >= 500 && status <= 599)) {
    LOG(ERROR) << texts.tag << "Failed to get " << texts.api << " access token"
               << ": code=" << transport << ", status_code=" << status
               << ", message=" << LogText(response.body, kMaxLoggedBytes);
    return MakeCommonError(kHttpRequestFailure);
  }
  if (status != 200) {
    LOG(ERROR) << texts.tag << "Failed to get " << texts.api << " access token"
               << ": status_code=" << status
               << ", message=" << LogText(response.body, kMaxLoggedBytes);
    out->code = AccessTokenResponse::kFailure;
    return boost::system::error_code();
  }

  // A 200 body may hold a token, whatever else is wrong with it.
  Json answer;
  bool malformed = true;
  if (!answer.FromString(response.body) || !answer.IsObject()) {
    LOG(ERROR) << texts.tag << "Failed to parse JSON from the response"
               << ": body=" << kRedacted;
  } else if (!answer.HasAttribute("access_token", Json::kString) ||
             answer.GetString("access_token").empty()) {
    LOG(ERROR) << texts.tag << "Missing required fields"
               << ": attribute='access_token'"
               << ": body=" << kRedacted;
  } else if (!answer["expires_in"].IsInteger()) {
    LOG(ERROR) << texts.tag << "Wrong attribute type found"
               << ": attribute='expires_in', body=" << kRedacted;
  } else {
    malformed = false;
  }
  if (malformed) {
    LOG(ERROR) << texts.tag << "The message from " << texts.server << " server"
               << ": message=" << kRedacted;
    return MakeBillerError(kServiceProviderProtocolError);
  }

  out->code = AccessTokenResponse::kSuccess;
  out->access_token = answer.GetString("access_token");
  // Saturated rather than wrapped: a huge lifetime must not turn negative.
  out->expires_in = static_cast<int32_t>(
      std::clamp<int64_t>(answer.GetInteger("expires_in"), std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max()));
  LOG(INFO) << texts.tag << texts.api << " access token has been refreshed";
  VLOG(2) << texts.tag << "refreshed access_token=" << kRedacted;
  return boost::system::error_code();
}

std::chrono::seconds RefreshDelay(int32_t expires_in) {
  // 64-bit, so that a lifetime near the 32-bit minimum cannot overflow.
  return std::chrono::seconds(std::max<int64_t>(static_cast<int64_t>(expires_in) - 60, 10));
}

}  // namespace tvx
