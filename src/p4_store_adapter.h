// P4StoreAdapter: reads a PlayStation 4 entitlement for a client. The client
// hands over an authorization code and an entitlement id; the adapter trades
// the code for an access token at the platform's OAuth token endpoint, asks
// the platform's base-URL service where the entitlement service lives, and
// reads the entitlement there. It judges nothing: use count, limit and
// consumability are the PlayStation flow's to judge.
//
// The platform configuration (environment and the biller's own client
// credentials) comes from the install argument "p4_platform", read once at
// install into one process-wide PlatformArgument.
#ifndef SRC_P4_STORE_ADAPTER_H_
#define SRC_P4_STORE_ADAPTER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "framework/engine.h"
#include "framework/http_client.h"
#include "framework/io_service.h"
#include "framework/json.h"

namespace tvx {

class P4StoreAdapter : public std::enable_shared_from_this<P4StoreAdapter> {
 public:
  struct PlatformArgument {
    std::string environment;        // "dev", "qa" or "production"; empty: unconfigured
    std::string token_url;          // the environment's OAuth token endpoint
    std::string base_url_endpoint;  // its base-URL service, "entitlement" appended
    std::string authorization;      // "Basic " base64(client_id ":" secret)
  };

  struct EntitlementResponse {
    std::string id;
    bool is_consumable = false;
    // The platform and the client speak 64-bit numbers; the judgement works
    // on their low 32 bits.
    int32_t requested_use_count = 0;
    int32_t use_count = 0;
    int32_t use_limit = 0;
  };

  // The record that goes with every error.
  static const EntitlementResponse& EmptyResponse();

  // Reads "p4_platform" into the process-wide PlatformArgument. True when
  // there is no such argument (the platform stays unconfigured) or it was
  // read completely; false after an error line when it is no object or names
  // a wrong attribute. Called
  // once by install, before any request, after the store endpoints are set.
  static bool ParseP4PlatformArgument(const ArgumentMap& arguments);
  // The process-wide configuration; empty fields until it was read.
  static const PlatformArgument& GetPlatformArgument();
  // "Basic " and the standard base64 text of "<client_id>:<secret>".
  static void MakeBasicAuthorization(const std::string& client_id, const std::string& secret,
                                     std::string* authorization);

  // Called exactly once per request, on an io thread or, when the request
  // cannot be made at all, before RequestReceiptValidation returns: no error
  // and the filled record, or an error and the empty record. Platform and
  // transport failures are common error 1; an unconfigured platform and an
  // empty authorization code are errors of GetP4RequestErrorCategory().
  using Callback =
      std::function<void(const boost::system::error_code&, const EntitlementResponse&)>;

  static std::shared_ptr<P4StoreAdapter> Create(std::shared_ptr<IoContext> io_service);

  // The three platform requests, one after another, for one validation.
  void RequestReceiptValidation(const std::string& entitlement_id, int64_t requested_use_count,
                                int64_t service_label, const std::string& auth_code,
                                Callback callback);

 private:
  explicit P4StoreAdapter(std::shared_ptr<IoContext> io_service)
      : io_service_(std::move(io_service)) {}

  void OnAccessTokenResponse(const Callback& callback, const std::string& entitlement_id,
                             int64_t requested_use_count, int64_t service_label,
                             const PlatformArgument& platform, http::TransportCode code,
                             const http::Response& response);
  void OnBaseUrlResponse(const Callback& callback, const std::string& access_token,
                         const std::string& entitlement_id, int64_t requested_use_count,
                         int64_t service_label, http::TransportCode code,
                         const http::Response& response);
  void OnValidated(const Callback& callback, int64_t requested_use_count,
                   http::TransportCode code, const http::Response& response);
  void SetBearer(const std::string& access_token);

  const std::shared_ptr<IoContext> io_service_;
  // Made by the token request, reused for the two that follow it.
  std::shared_ptr<HttpClient> http_client_;
};

// Why a PlayStation request could not be sent. Reported as failure 2003
// (any non-Biller error is), with the category's text as description.
enum P4RequestError : int {
  kP4PlatformNotConfigured = 1,
  kP4EmptyAuthorizationCode = 2,
};
const boost::system::error_category& GetP4RequestErrorCategory();
boost::system::error_code MakeP4RequestError(P4RequestError error);

// Reads a "p4_platform" object into `platform`. False, with the error line,
// on a wrong attribute; `platform` may then be partly written. `argument`
// must be an object.
bool ReadP4PlatformArgument(const Json& argument, P4StoreAdapter::PlatformArgument* platform);

// The token request's form body.
std::string MakeP4TokenRequestBody(const std::string& auth_code);
// The entitlement's address at the service whose base is `service_url`.
std::string MakeP4EntitlementUrl(const std::string& service_url,
                                 const std::string& entitlement_id, int64_t service_label);
// The entitlement of a token-authorised GET, or false after the error line.
bool ReadP4Entitlement(const std::string& body, int64_t requested_use_count,
                       P4StoreAdapter::EntitlementResponse* entitlement);

// The flow's judgement of an entitlement, in this order: nothing used and no
// limit is accepted; a limit below the requested count is refused; so is an
// entitlement that cannot be consumed; anything else is accepted.
enum class P4EntitlementVerdict { kAccept, kUseLimitExceeded, kNotConsumable };
P4EntitlementVerdict JudgeP4Entitlement(const P4StoreAdapter::EntitlementResponse& entitlement);

}  // namespace tvx

#endif  // SRC_P4_STORE_ADAPTER_H_
