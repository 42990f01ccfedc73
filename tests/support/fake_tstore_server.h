// TStore's signature confirmation; malformed requests get detail "1000", an
// unscripted txid "9100".
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

  explicit FakeTStore(FakeHttpServer* server);

  static tvx::Json Product(const std::string& appid, const std::string& product_id);
  static FakeResponse Confirmed(const std::vector<tvx::Json>& products);
  static FakeResponse Refused(const std::string& detail, const std::string& message = "refused");
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_TSTORE_SERVER_H_
