#include "src/p4_store_adapter.h"

#include <glog/logging.h>

#include "framework/base64.h"
#include "src/billing_error.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

using Platform = P4StoreAdapter::PlatformArgument;
using Entitlement = P4StoreAdapter::EntitlementResponse;

constexpr char kArgumentName[] = "p4_platform";

// Written by install before any server starts; read-only afterwards.
Platform the_platform_argument;

class P4RequestErrorCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "Talvex-Biller PlayStation"; }
  std::string message(int code) const override {
    switch (code) {
      case kP4PlatformNotConfigured:
        return "the PlayStation platform is not configured: "
               "no 'p4_platform' object in the install arguments";
      case kP4EmptyAuthorizationCode:
        return "wrong PlayStation authentication request: empty authorization code";
      default:
        return "unknown PlayStation request error";
    }
  }
};

bool ReadCredential(const Json& argument, const char* name, std::string* out) {
  if (!argument.HasAttribute(name, Json::kString) || argument.GetString(name).empty()) {
    LOG(ERROR) << "Invalid '" << name << "' attribute in '" << kArgumentName << "' object. "
               << "p4_platform_argument=" << argument.ToString();
    return false;
  }
  *out = argument.GetString(name);
  return true;
}

// Logs a failed exchange; true when the answer arrived with status 200.
bool ExchangeSucceeded(http::TransportCode code, const http::Response& response) {
  if (code != http::TransportCode::kOk) {
    LOG(ERROR) << "http request failure: rc(" << code << ")";
    return false;
  }
  if (response.status_code != 200) {
    LOG(ERROR) << "http statud code is not OK(200): " << response.status_code;
    return false;
  }
  return true;
}

}  // namespace

const boost::system::error_category& GetP4RequestErrorCategory() {
  static const P4RequestErrorCategory category;
  return category;
}

boost::system::error_code MakeP4RequestError(P4RequestError error) {
  return boost::system::error_code(error, GetP4RequestErrorCategory());
}

const Entitlement& P4StoreAdapter::EmptyResponse() {
  static const Entitlement record;
  return record;
}

bool ReadP4PlatformArgument(const Json& argument, Platform* platform) {
  const std::string environment = argument.GetString("environment");
  const auto endpoints = GetStoreEndpoints();
  const std::string* token_url = nullptr;
  const std::string* base_url_service = nullptr;
  if (argument.HasAttribute("environment", Json::kString)) {
    if (environment == "dev") {
      token_url = &endpoints->p4_dev_token_url;
      base_url_service = &endpoints->p4_dev_base_url_service;
    } else if (environment == "qa") {
      token_url = &endpoints->p4_qa_token_url;
      base_url_service = &endpoints->p4_qa_base_url_service;
    } else if (environment == "production") {
      token_url = &endpoints->p4_production_token_url;
      base_url_service = &endpoints->p4_production_base_url_service;
    }
  }
  if (!token_url) {
    LOG(ERROR) << "Invalid 'environment' attribute in '" << kArgumentName << "' object. "
               << "environment must be one of the following values: "
               << "'dev', 'qa', 'production'. "
               << "p4_platform_argument=" << argument.ToString();
    return false;
  }
  platform->environment = environment;
  platform->token_url = *token_url;
  platform->base_url_endpoint = *base_url_service + "entitlement";

  std::string client_id;
  std::string secret;
  if (!ReadCredential(argument, "client_id", &client_id) ||
      !ReadCredential(argument, "secret", &secret)) {
    return false;
  }
  P4StoreAdapter::MakeBasicAuthorization(client_id, secret, &platform->authorization);
  return true;
}

bool P4StoreAdapter::ParseP4PlatformArgument(const ArgumentMap& arguments) {
  if (!arguments.HasArgument(kArgumentName)) return true;
  const Json argument = arguments.FindArgument(kArgumentName);
  // Anything else than an object is a mistake in the arguments file, not a
  // choice to leave the platform unconfigured.
  if (!argument.IsObject()) {
    LOG(ERROR) << "Invalid '" << kArgumentName << "' argument: it must be an object. "
               << "p4_platform_argument=" << argument.ToString();
    return false;
  }
  Platform platform;
  if (!ReadP4PlatformArgument(argument, &platform)) return false;
  the_platform_argument = std::move(platform);
  return true;
}

const Platform& P4StoreAdapter::GetPlatformArgument() { return the_platform_argument; }

void P4StoreAdapter::MakeBasicAuthorization(const std::string& client_id,
                                            const std::string& secret,
                                            std::string* authorization) {
  if (!authorization) LOG(FATAL) << "Assert failed: authentication";
  *authorization = "Basic " + Base64Encode(client_id + ":" + secret);
}

std::shared_ptr<P4StoreAdapter> P4StoreAdapter::Create(std::shared_ptr<IoContext> io_service) {
  return std::shared_ptr<P4StoreAdapter>(new P4StoreAdapter(std::move(io_service)));
}

std::string MakeP4TokenRequestBody(const std::string& auth_code) {
  // Encoded like every form value, so that a code holding '&' or '=' cannot
  // add fields; the platform's codes are unreserved characters, which
  // encoding leaves as they are.
  return http::MakeFormBody({{"grant_type", "authorization_code"},
                             {"redirect_uri", "orbis://games"},
                             {"code", auth_code}});
}

std::string MakeP4EntitlementUrl(const std::string& service_url,
                                 const std::string& entitlement_id, int64_t service_label) {
  return service_url + "/v1/users/me/entitlements/" + UrlPathSegment(entitlement_id) +
         "?service_label=" + std::to_string(service_label);
}

bool ReadP4Entitlement(const std::string& body, int64_t requested_use_count,
                       Entitlement* entitlement) {
  // The member types are checked, not only their presence: a limit or a
  // count that reads as 0 would otherwise turn a malformed answer into an
  // accepted entitlement.
  Json answer;
  if (!answer.FromString(body) || !answer.IsObject() ||
      !answer.HasAttribute("is_consumable", Json::kBool) ||
      !answer.HasAttribute("use_count", Json::kInteger) ||
      !answer.HasAttribute("use_limit", Json::kInteger) ||
      !answer.HasAttribute("id", Json::kString)) {
    LOG(ERROR) << "wrong entitlement response object. " << "response=" << ForLog(body);
    return false;
  }
  entitlement->id = answer.GetString("id");
  entitlement->is_consumable = answer.GetBool("is_consumable");
  entitlement->use_count = static_cast<int32_t>(answer.GetInteger("use_count"));
  entitlement->use_limit = static_cast<int32_t>(answer.GetInteger("use_limit"));
  entitlement->requested_use_count = static_cast<int32_t>(requested_use_count);
  return true;
}

P4EntitlementVerdict JudgeP4Entitlement(const Entitlement& entitlement) {
  if (entitlement.use_limit == 0 && entitlement.use_count == 0) {
    return P4EntitlementVerdict::kAccept;
  }
  if (entitlement.use_limit < entitlement.requested_use_count) {
    return P4EntitlementVerdict::kUseLimitExceeded;
  }
  if (!entitlement.is_consumable) return P4EntitlementVerdict::kNotConsumable;
  return P4EntitlementVerdict::kAccept;
}

void P4StoreAdapter::RequestReceiptValidation(const std::string& entitlement_id,
                                              int64_t requested_use_count, int64_t service_label,
                                              const std::string& auth_code, Callback callback) {
  const Platform platform = GetPlatformArgument();
  if (platform.token_url.empty() || platform.base_url_endpoint.empty() ||
      platform.authorization.empty()) {
    LOG(ERROR) << "Unspecified 'p4_platform' object argument in "
               << "the install arguments, Please check your arguments file.";
    callback(MakeP4RequestError(kP4PlatformNotConfigured), EmptyResponse());
    return;
  }
  if (auth_code.empty()) {
    LOG(ERROR) << "Wrong playstation4 authentication request.";
    callback(MakeP4RequestError(kP4EmptyAuthorizationCode), EmptyResponse());
    return;
  }
  auto body = std::make_shared<const std::string>(MakeP4TokenRequestBody(auth_code));

  if (http_client_) LOG(FATAL) << "Assert failed: ! http_client_";
  http_client_ = std::make_shared<HttpClient>(io_service_);
  http_client_->SetHeader("Content-Type", "application/x-www-form-urlencoded");
  http_client_->SetHeader("Authorization", platform.authorization);
  http_client_->PostAsync(
      platform.token_url, std::move(body),
      [self = shared_from_this(), callback = std::move(callback), entitlement_id,
       requested_use_count, service_label,
       platform](http::TransportCode code, const http::Response& response) {
        self->OnAccessTokenResponse(callback, entitlement_id, requested_use_count, service_label,
                                    platform, code, response);
      },
      0);
}

void P4StoreAdapter::SetBearer(const std::string& access_token) {
  http_client_->ResetHeader();
  http_client_->SetHeader("Content-Type", "application/json; charset=utf-8");
  http_client_->SetHeader("Authorization", "Bearer " + access_token);
}

void P4StoreAdapter::OnAccessTokenResponse(const Callback& callback,
                                           const std::string& entitlement_id,
                                           int64_t requested_use_count, int64_t service_label,
                                           const PlatformArgument& platform,
                                           http::TransportCode code,
                                           const http::Response& response) {
  if (!ExchangeSucceeded(code, response)) {
    callback(MakeCommonError(kHttpRequestFailure), EmptyResponse());
    return;
  }
  Json answer;
  if (!answer.FromString(response.body) || !answer.HasAttribute("access_token", Json::kString)) {
    LOG(ERROR) << "wrong token response object. " << "response=" << ForLog(response.body);
    callback(MakeCommonError(kHttpRequestFailure), EmptyResponse());
    return;
  }
  const std::string access_token = answer.GetString("access_token");
  SetBearer(access_token);
  http_client_->GetAsync(
      platform.base_url_endpoint,
      [self = shared_from_this(), callback, access_token, entitlement_id, requested_use_count,
       service_label](http::TransportCode code, const http::Response& response) {
        self->OnBaseUrlResponse(callback, access_token, entitlement_id, requested_use_count,
                                service_label, code, response);
      },
      0);
}

void P4StoreAdapter::OnBaseUrlResponse(const Callback& callback, const std::string& access_token,
                                       const std::string& entitlement_id,
                                       int64_t requested_use_count, int64_t service_label,
                                       http::TransportCode code,
                                       const http::Response& response) {
  if (!ExchangeSucceeded(code, response)) {
    callback(MakeCommonError(kHttpRequestFailure), EmptyResponse());
    return;
  }
  Json answer;
  if (!answer.FromString(response.body) || !answer.HasAttribute("url", Json::kString)) {
    LOG(ERROR) << "wrong url response object. " << "response=" << ForLog(response.body);
    callback(MakeCommonError(kHttpRequestFailure), EmptyResponse());
    return;
  }
  SetBearer(access_token);
  http_client_->GetAsync(
      MakeP4EntitlementUrl(answer.GetString("url"), entitlement_id, service_label),
      [self = shared_from_this(), callback, requested_use_count](
          http::TransportCode code, const http::Response& response) {
        self->OnValidated(callback, requested_use_count, code, response);
      },
      0);
}

void P4StoreAdapter::OnValidated(const Callback& callback, int64_t requested_use_count,
                                 http::TransportCode code, const http::Response& response) {
  LOG(INFO) << "P4StoreAdapter::OnValidated : " << ForLog(response.body);
  Entitlement entitlement;
  if (!ExchangeSucceeded(code, response) ||
      !ReadP4Entitlement(response.body, requested_use_count, &entitlement)) {
    callback(MakeCommonError(kHttpRequestFailure), EmptyResponse());
    return;
  }
  callback(boost::system::error_code(), entitlement);
}

}  // namespace tvx
