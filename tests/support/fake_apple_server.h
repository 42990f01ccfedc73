// A loopback fake of Apple's receipt-verification service: a production and
// a sandbox endpoint, each answering the receipts scripted for it. A request
// that is not a JSON object with exactly a string "receipt-data" is answered
// as Apple answers malformed requests (status 21002), as is an unscripted
// receipt.
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

  // Named "apple_production_url" and "apple_sandbox_url" by AddEndpoints.
  explicit FakeAppleStore(FakeHttpServer* server);

  // Answer builders. A purchase as Apple lists it under "in_app".
  static tvx::Json Purchase(const std::string& product_id, const std::string& quantity,
                            const std::string& transaction_id,
                            const std::string& purchase_date = "2019-03-05 08:24:36 Etc/GMT");
  // Status 0 with the purchases.
  static FakeResponse Verified(const std::vector<tvx::Json>& in_app);
  // Any other status, no receipt.
  static FakeResponse Status(int64_t status);
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_APPLE_SERVER_H_
