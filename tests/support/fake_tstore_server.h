// A loopback fake of TStore's signature-confirmation service: a production
// and a development endpoint, each answering the transactions scripted for
// it. A request that is not a JSON object of exactly the string members
// "txid", "appid" and "signdata" is refused as the store refuses incomplete
// requests (detail "1000"); an unscripted txid is an invalid receipt
// (detail "9100").
#ifndef TESTS_SUPPORT_FAKE_TSTORE_SERVER_H_
#define TESTS_SUPPORT_FAKE_TSTORE_SERVER_H_

#include <string>
#include <vector>

#include "framework/json.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class FakeTStore : public FakeTwoEndpointStore {
 public:
  enum Endpoint { kProduction, kDevelopment };

  // Named "tstore_production_url" and "tstore_development_url" by AddEndpoints.
  explicit FakeTStore(FakeHttpServer* server);

  // One confirmed purchase item as the store lists it under "product".
  static tvx::Json Product(const std::string& appid, const std::string& product_id);
  // Status 0 with the items, "count" matching.
  static FakeResponse Confirmed(const std::vector<tvx::Json>& products);
  // A non-zero status with the detail code.
  static FakeResponse Refused(const std::string& detail, const std::string& message = "refused");
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_TSTORE_SERVER_H_
