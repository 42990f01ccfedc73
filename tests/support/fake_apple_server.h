// Apple's receipt verification; malformed requests and unscripted receipts get 21002.
#ifndef TESTS_SUPPORT_FAKE_APPLE_SERVER_H_
#define TESTS_SUPPORT_FAKE_APPLE_SERVER_H_

#include <string>
#include <vector>

#include "framework/json.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class FakeAppleStore : public FakeTwoEndpointStore {
 public:
  enum Endpoint { kProduction, kSandbox };

  static constexpr int64_t kMalformedRequest = 21002;
  static constexpr int64_t kServerUnavailable = 21005;
  static constexpr int64_t kSandboxReceipt = 21007;

  explicit FakeAppleStore(FakeHttpServer* server);

  static tvx::Json Purchase(const std::string& product_id, const std::string& quantity,
                            const std::string& transaction_id,
                            const std::string& purchase_date = "2019-03-05 08:24:36 Etc/GMT");
  static FakeResponse Verified(const std::vector<tvx::Json>& in_app);
  static FakeResponse Status(int64_t status);
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_APPLE_SERVER_H_
