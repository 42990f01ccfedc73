// The stores' addresses. The real stores are the defaults; the install
// argument "store_endpoints" (an object of strings) overrides any of them, so
// that tests and staging can point the biller at other servers.
#ifndef SRC_STORE_ENDPOINTS_H_
#define SRC_STORE_ENDPOINTS_H_

#include <memory>
#include <string>

#include "framework/json.h"

namespace tvx {

struct StoreEndpoints {
  // Token endpoint of the refresh-token grant (full URL).
  std::string google_oauth_token_url;
  // Token endpoint of the JWT-bearer grant, also the JWT audience.
  std::string google_jwt_token_url;
  // Scheme and host of the Android Publisher API, no trailing slash.
  std::string google_api_base;
  // OneStore API bases, no trailing slash.
  std::string one_store_api_base;
  std::string one_store_test_api_base;
  // Receipt-verification URLs, "/verifyReceipt" included.
  std::string apple_production_url;
  std::string apple_sandbox_url;
  // App Store Server API bases, no trailing slash.
  std::string apple_server_api_production_base;
  std::string apple_server_api_sandbox_base;
  // Confirmation URLs, "/digitalsignconfirm.iap" included.
  std::string tstore_production_url;
  std::string tstore_development_url;
  // PlayStation token endpoints (full URLs).
  std::string p4_dev_token_url;
  std::string p4_qa_token_url;
  std::string p4_production_token_url;
  // PlayStation base-URL services, ending in "/baseUrls/".
  std::string p4_dev_base_url_service;
  std::string p4_qa_base_url_service;
  std::string p4_production_base_url_service;

  // The real stores' addresses.
  static StoreEndpoints Defaults();
};

// The addresses in use. Thread-safe; the result never changes under the
// caller.
std::shared_ptr<const StoreEndpoints> GetStoreEndpoints();

// Makes the defaults, overridden by the members of `overrides`, the
// addresses in use. A null `overrides` (no install argument) means the
// defaults. Anything but an object of known members whose values are http://
// or https:// URLs (bases without a trailing slash) is refused: false, with
// `error` saying which member is wrong, and the addresses in use unchanged.
bool SetStoreEndpoints(const Json& overrides, std::string* error);

}  // namespace tvx

#endif  // SRC_STORE_ENDPOINTS_H_
