// The HTTP JSON front end: five endpoints that turn a JSON body into the
// Biller request a TCP client would send and hand it to the shared dispatch,
// so authentication and validation run exactly as for TCP. Answers come back
// through BillingAgent::SendResponse, which renders them as JSON.
//
// Handlers run on the HTTP server's threads of the agent's io group; they
// share nothing but the session registry and end by dispatching or answering.
#ifndef SRC_BILLING_AGENT_HTTP_H_
#define SRC_BILLING_AGENT_HTTP_H_

#include <memory>
#include <string>
#include <vector>

#include "framework/http_server.h"
#include "framework/json.h"

namespace tvx {

inline constexpr char kHttpAuthenticationPath[] = "/v1/authentication";
inline constexpr char kHttpGooglePlayValidationPath[] = "/v1/validation/googleplay";
inline constexpr char kHttpAppleAppStoreValidationPath[] = "/v1/validation/appleappstore";
inline constexpr char kHttpTStoreValidationPath[] = "/v1/validation/tstore";
inline constexpr char kHttpOneStoreValidationPath[] = "/v1/validation/onestore";

void OnHttpAuthentication(const std::shared_ptr<HttpSocket>& socket,
                          const std::shared_ptr<http::Request2>& request);
void OnHttpGooglePlayValidation(const std::shared_ptr<HttpSocket>& socket,
                                const std::shared_ptr<http::Request2>& request);
void OnHttpAppleAppStoreValidation(const std::shared_ptr<HttpSocket>& socket,
                                   const std::shared_ptr<http::Request2>& request);
void OnHttpTStoreValidation(const std::shared_ptr<HttpSocket>& socket,
                            const std::shared_ptr<http::Request2>& request);
void OnHttpOneStoreValidation(const std::shared_ptr<HttpSocket>& socket,
                              const std::shared_ptr<http::Request2>& request);

// Answers {"result": 2000, "description": "Talvex-Biller: wrong parameter"}.
void SendWrongParameterResponse(const std::shared_ptr<HttpSocket>& socket);

// The store credentials of an authentication body, appended to `auth_keys`
// as auth-key texts. False with `error_desc` set when an attribute is wrong;
// a null `error_desc` is a programming error (fatal).
bool BuildGooglePlayAuthKeys(const Json& body, std::vector<std::string>* auth_keys,
                             std::string* error_desc);
bool BuildOneStoreAuthKeys(const Json& body, std::vector<std::string>* auth_keys,
                           std::string* error_desc);

// The pure halves of the handlers: a body either yields the request's fields
// or the error text of its first wrong attribute.

struct HttpAuthenticationFields {
  std::string biller_client_id;
  std::vector<std::string> auth_keys;
};
bool ParseHttpAuthenticationBody(const std::string& body, HttpAuthenticationFields* fields,
                                 std::string* error_desc);

enum class HttpValidationEndpoint { kGooglePlay, kAppleAppStore, kTStore, kOneStore };

struct HttpValidationFields {
  std::string session_id;  // as sent; not yet known to be a uuid
  std::string player_id;
  std::string player_service_provider;
  std::string receipt;  // the store's receipt text
};
bool ParseHttpValidationBody(HttpValidationEndpoint endpoint, const std::string& body,
                             HttpValidationFields* fields, std::string* error_desc);

}  // namespace tvx

#endif  // SRC_BILLING_AGENT_HTTP_H_
