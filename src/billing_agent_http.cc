#include "src/billing_agent_http.h"

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/uuid.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/http_rendering.h"
#include "src/log_text.h"
#include "src/session.h"

namespace tvx {
namespace {

using AuthResponse = Biller::Authentication_Response;
using ValidationResponse = Biller::ReceiptValidation_Response;

std::string WrongAttribute(const char* name) {
  return std::string("wrong '") + name + "' attribute";
}

// An authentication body holds store credentials: it is never logged.
enum class BodyKind { kValidation, kCredentials };

bool ParseBodyObject(const std::string& body, BodyKind kind, Json* json,
                     std::string* error_desc) {
  if (json->FromString(body) && json->IsObject()) return true;
  *error_desc = "wrong request json string";
  if (kind == BodyKind::kCredentials) {
    LOG(WARNING) << "wrong request json string" << ": " << kRedacted;
  } else {
    LOG(WARNING) << "wrong request json string" << ": " << LogText(body);
  }
  return false;
}

// A required member of one kind; a member of another kind counts as missing.
bool ReadString(const Json& body, const char* name, std::string* out, std::string* error_desc) {
  if (!body.HasAttribute(name, Json::kString)) {
    *error_desc = WrongAttribute(name);
    return false;
  }
  *out = body.GetString(name);
  return true;
}

// An optional credential member: absent and "" both mean not given; present
// but not a string is an error.
bool ReadOptionalString(const Json& body, const char* name, std::string* out,
                        std::string* error_desc) {
  out->clear();
  if (!body.HasAttribute(name)) return true;
  return ReadString(body, name, out, error_desc);
}

bool ReadGooglePlayReceipt(const Json& body, std::string* receipt, std::string* error_desc) {
  std::string package_name, product_id, purchase_token;
  if (!ReadString(body, "package_name", &package_name, error_desc) ||
      !ReadString(body, "product_id", &product_id, error_desc) ||
      !ReadString(body, "purchase_token", &purchase_token, error_desc)) {
    return false;
  }
  *receipt = MakeGooglePlayReceipt(package_name, product_id, purchase_token);
  return true;
}

bool ReadAppleAppStoreReceipt(const Json& body, std::string* receipt, std::string* error_desc) {
  std::string receipt_data, product_id;
  // A transaction id or a signed transaction instead of receipt data.
  for (const char* form : {"transaction_id", "signed_transaction"}) {
    if (body.HasAttribute("receipt_data") || !body.HasAttribute(form)) continue;
    std::string value;
    if (!ReadString(body, form, &value, error_desc) ||
        !ReadString(body, "product_id", &product_id, error_desc)) {
      return false;
    }
    Json made = Json::Object();
    made.SetString(kBillingServiceProviderKey, kAppleAppStoreName);
    made.SetString(form, value);
    made.SetString("product_id", product_id);
    *receipt = made.ToString();
    return true;
  }
  if (!ReadString(body, "receipt_data", &receipt_data, error_desc) ||
      !ReadString(body, "product_id", &product_id, error_desc)) {
    return false;
  }
  if (!body.HasAttribute("quantity", Json::kInteger)) {
    *error_desc = WrongAttribute("quantity");
    return false;
  }
  *receipt = MakeAppleAppStoreReceipt(receipt_data, product_id, body.GetInteger("quantity"));
  return true;
}

bool ReadTStoreReceipt(const Json& body, std::string* receipt, std::string* error_desc) {
  std::string txid, appid, signdata;
  if (!ReadString(body, "txid", &txid, error_desc) ||
      !ReadString(body, "appid", &appid, error_desc) ||
      !ReadString(body, "signdata", &signdata, error_desc)) {
    return false;
  }
  // Anything but a real boolean leaves the production server in charge.
  const bool test = body.HasAttribute("test", Json::kBool) && body.GetBool("test");
  if (!body.HasAttribute("products", Json::kArray)) {
    *error_desc = WrongAttribute("products");
    return false;
  }
  const Json products = body.GetAttribute("products");
  std::vector<std::string> product_ids;
  product_ids.reserve(products.Size());
  for (size_t i = 0; i < products.Size(); ++i) {
    const Json product = products[i];
    if (!product.IsString()) {
      *error_desc = "wrong element in 'products' attribute";
      return false;
    }
    product_ids.push_back(product.GetString());
  }
  *receipt = MakeOneStoreReceipt(txid, appid, signdata, product_ids, test);
  return true;
}

bool ReadOneStoreReceipt(const Json& body, std::string* receipt, std::string* error_desc) {
  std::string purchase_id, package_name, product_id;
  // The product member is spelled "prodouct_id" on the wire; clients depend
  // on that spelling.
  if (!ReadString(body, "purchase_id", &purchase_id, error_desc) ||
      !ReadString(body, "package_name", &package_name, error_desc) ||
      !ReadString(body, "prodouct_id", &product_id, error_desc)) {
    return false;
  }
  *receipt = MakeOneStoreReceiptV5(purchase_id, package_name, product_id);
  return true;
}

// The session header only repeats the body's session id: a load balancer
// routes by the header and the biller serves the body's session, so a request
// whose two ids differ would be served where its session may not live. Such a
// request is refused rather than one of its ids trusted.
bool SessionHeaderAgrees(const http::Fields& headers, const std::string& session_id,
                         std::string* error_desc) {
  for (const auto& [name, value] : headers) {
    if (name == kHttpSessionHeader && value != session_id) {
      *error_desc = "'sessionid' attribute differs from the " + std::string(kHttpSessionHeader) +
                    " header";
      return false;
    }
  }
  return true;
}

void HandleValidation(HttpValidationEndpoint endpoint, const char* handler_name,
                      const std::shared_ptr<HttpSocket>& socket,
                      const std::shared_ptr<http::Request2>& request) {
  HttpValidationFields fields;
  std::string error;
  if (!ParseHttpValidationBody(endpoint, request->body, &fields, &error) ||
      !SessionHeaderAgrees(request->headers, fields.session_id, &error)) {
    LOG(WARNING) << "wrong receipt validation request: " << error;
    SendWrongParameterResponse(socket);
    return;
  }
  auto message = BillingMessageWriter::CreateReceiptValidationRequest(
      util::kNilUuid, fields.player_id, fields.player_service_provider, fields.receipt, false);

  // Only a session the biller handed out, and has not forgotten since, may be
  // named: making one for every unknown id would let any client grow the
  // registry without bound, and such a session could never be authenticated
  // anyway.
  Uuid session_id;
  std::shared_ptr<ClientSession> session;
  if (util::TryFromString(fields.session_id, &session_id)) {
    session = FindHttpSession(session_id);
  }
  if (!session && the_bypass_mode) {
    // Bypass mode answers every validation with success whatever its
    // session; a session of this request alone keeps the registry unchanged.
    session = std::make_shared<ClientSession>(session_id);
  }
  if (!session) {
    LOG(WARNING) << "BillingAgent::" << handler_name << ": "
                 << "authentication required: "
                 << "unknown session[" << LogText(fields.session_id) << "]";
    BillingAgent::SendResponse(
        Request::CreateForHttp(socket, nullptr, message),
        BillingMessageWriter::CreateReceiptValidationResponse(
            util::kNilUuid, ValidationResponse::kFailAuthenticationRequired));
    return;
  }
  BillingAgent::DispatchRequestMessage(Request::CreateForHttp(socket, session, message));
}

}  // namespace

bool ParseHttpAuthenticationBody(const std::string& body, HttpAuthenticationFields* fields,
                                 std::string* error_desc) {
  if (!error_desc) LOG(FATAL) << "Assert failed: error_desc";
  Json json;
  if (!ParseBodyObject(body, BodyKind::kCredentials, &json, error_desc)) return false;
  if (!json.HasAttribute("biller_client_id", Json::kString) ||
      json.GetString("biller_client_id").empty()) {
    *error_desc = WrongAttribute("biller_client_id");
    return false;
  }
  fields->biller_client_id = json.GetString("biller_client_id");
  return BuildGooglePlayAuthKeys(json, &fields->auth_keys, error_desc) &&
         BuildOneStoreAuthKeys(json, &fields->auth_keys, error_desc);
}

bool ParseHttpValidationBody(HttpValidationEndpoint endpoint, const std::string& body,
                             HttpValidationFields* fields, std::string* error_desc) {
  if (!error_desc) LOG(FATAL) << "Assert failed: error_desc";
  Json json;
  if (!ParseBodyObject(body, BodyKind::kValidation, &json, error_desc)) return false;
  if (!json.HasAttribute("sessionid", Json::kString)) {
    // The stray quote is the documented text of this refusal.
    *error_desc = "wrong 'sessionid' attribute'";
    return false;
  }
  fields->session_id = json.GetString("sessionid");
  if (!ReadString(json, "player_id", &fields->player_id, error_desc) ||
      !ReadString(json, "player_service_provider", &fields->player_service_provider,
                  error_desc)) {
    return false;
  }
  switch (endpoint) {
    case HttpValidationEndpoint::kGooglePlay:
      return ReadGooglePlayReceipt(json, &fields->receipt, error_desc);
    case HttpValidationEndpoint::kAppleAppStore:
      return ReadAppleAppStoreReceipt(json, &fields->receipt, error_desc);
    case HttpValidationEndpoint::kTStore:
      return ReadTStoreReceipt(json, &fields->receipt, error_desc);
    case HttpValidationEndpoint::kOneStore:
      return ReadOneStoreReceipt(json, &fields->receipt, error_desc);
  }
  LOG(FATAL) << "Assert failed: false";
  return false;
}

bool BuildGooglePlayAuthKeys(const Json& body, std::vector<std::string>* auth_keys,
                             std::string* error_desc) {
  if (!error_desc) LOG(FATAL) << "Assert failed: error_desc";
  if (!auth_keys) LOG(FATAL) << "Assert failed: auth_keys";
  std::string private_key, client_email, client_id, client_secret, refresh_token;
  if (!ReadOptionalString(body, "google_play_private_key", &private_key, error_desc) ||
      !ReadOptionalString(body, "google_play_client_email", &client_email, error_desc) ||
      !ReadOptionalString(body, "google_play_client_id", &client_id, error_desc) ||
      !ReadOptionalString(body, "google_play_client_secret", &client_secret, error_desc) ||
      !ReadOptionalString(body, "google_play_refresh_token", &refresh_token, error_desc)) {
    return false;
  }
  const bool service_account = !private_key.empty();
  if (service_account != !client_email.empty()) {
    *error_desc = "service account data is invalid (client email, private key)";
    return false;
  }
  const int oauth_parts = !client_id.empty() + !client_secret.empty() + !refresh_token.empty();
  if (oauth_parts != 0 && oauth_parts != 3) {
    *error_desc = "client data is invalid (client id, secret, refresh token)";
    return false;
  }
  if (service_account && oauth_parts == 3) {
    *error_desc = "private_key and client id cannot be used together";
    return false;
  }
  if (service_account) {
    auth_keys->push_back(MakeGooglePlayAuthKey(private_key, client_email));
  } else if (oauth_parts == 3) {
    auth_keys->push_back(MakeGooglePlayAuthKey(client_id, client_secret, refresh_token));
  }
  return true;
}

bool BuildOneStoreAuthKeys(const Json& body, std::vector<std::string>* auth_keys,
                           std::string* error_desc) {
  if (!error_desc) LOG(FATAL) << "Assert failed: error_desc";
  if (!auth_keys) LOG(FATAL) << "Assert failed: auth_keys";
  std::string client_id, client_secret;
  if (!ReadOptionalString(body, "one_store_client_id", &client_id, error_desc) ||
      !ReadOptionalString(body, "one_store_client_secret", &client_secret, error_desc)) {
    return false;
  }
  if (client_id.empty() != client_secret.empty()) {
    *error_desc = "wrong OneStore auth key";
    return false;
  }
  if (!client_id.empty()) auth_keys->push_back(MakeOneStoreAuthKey(client_id, client_secret));
  return true;
}

void SendWrongParameterResponse(const std::shared_ptr<HttpSocket>& socket) {
  BillingAgent::SendResponse(
      Request::CreateForHttp(socket, nullptr, nullptr),
      BillingMessageWriter::CreateFailResponse(util::kNilUuid, kWrongParameter,
                                               DescribeError(kWrongParameter)));
}

void OnHttpAuthentication(const std::shared_ptr<HttpSocket>& socket,
                          const std::shared_ptr<http::Request2>& request) {
  HttpAuthenticationFields fields;
  std::string error;
  if (!ParseHttpAuthenticationBody(request->body, &fields, &error)) {
    LOG(WARNING) << "wrong authentication request: " << error;
    BillingAgent::SendResponse(Request::CreateForHttp(socket, nullptr, nullptr),
                               BillingMessageWriter::CreateAuthenticationResponse(
                                   util::kNilUuid, AuthResponse::kFailUnknown, error));
    return;
  }
  auto message = BillingMessageWriter::CreateAuthenticationRequest(
      util::kNilUuid, fields.biller_client_id, std::string(), fields.auth_keys);
  // Every authentication opens a new session; its id goes back as "sessionid".
  // The session is registered only once its authentication succeeds, so
  // refused attempts leave nothing behind.
  auto session = std::make_shared<ClientSession>(RandomGenerator::GenerateUuid());
  session->set_state(ClientSession::kCreated);
  BillingAgent::DispatchRequestMessage(Request::CreateForHttp(socket, session, message));
}

void OnHttpGooglePlayValidation(const std::shared_ptr<HttpSocket>& socket,
                                const std::shared_ptr<http::Request2>& request) {
  HandleValidation(HttpValidationEndpoint::kGooglePlay, "OnHttpGooglePlayValidation", socket,
                   request);
}

void OnHttpAppleAppStoreValidation(const std::shared_ptr<HttpSocket>& socket,
                                   const std::shared_ptr<http::Request2>& request) {
  HandleValidation(HttpValidationEndpoint::kAppleAppStore, "OnHttpAppleAppStoreValidation",
                   socket, request);
}

void OnHttpTStoreValidation(const std::shared_ptr<HttpSocket>& socket,
                            const std::shared_ptr<http::Request2>& request) {
  HandleValidation(HttpValidationEndpoint::kTStore, "OnHttpTStoreValidation", socket, request);
}

void OnHttpOneStoreValidation(const std::shared_ptr<HttpSocket>& socket,
                              const std::shared_ptr<http::Request2>& request) {
  HandleValidation(HttpValidationEndpoint::kOneStore, "OnHttpOneStoreValidation", socket,
                   request);
}

}  // namespace tvx
