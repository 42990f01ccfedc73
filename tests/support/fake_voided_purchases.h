// Google Play's voided-purchases list on loopback, served by the framework's
// own HttpServer: GET .../applications/{package}/purchases/voidedpurchases
// with "startTime", "maxResults" and "token", answered in pages of at most
// page_size entries, oldest voided first, as the Android Publisher API
// answers. It runs on an io group of its own, which its destruction stops
// together with every other io group of the test process.
#ifndef TESTS_SUPPORT_FAKE_VOIDED_PURCHASES_H_
#define TESTS_SUPPORT_FAKE_VOIDED_PURCHASES_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/http_server.h"

namespace tvx::testing {

class FakeVoidedPurchases {
 public:
  struct ListRequest {
    std::string package_name;
    int64_t start_time_ms = 0;
    std::string page_token;
  };

  explicit FakeVoidedPurchases(size_t page_size);
  ~FakeVoidedPurchases();
  FakeVoidedPurchases(const FakeVoidedPurchases&) = delete;
  FakeVoidedPurchases& operator=(const FakeVoidedPurchases&) = delete;

  // "http://127.0.0.1:<port>", the "google_api_base" to give the biller.
  std::string api_base() const;
  // Google voids the purchase (voidedReason 7, chargeback).
  void Void(const std::string& package_name, const std::string& purchase_token,
            int64_t voided_ms);
  std::vector<ListRequest> Requests() const;

 private:
  struct Entry {
    std::string purchase_token;
    int64_t voided_ms = 0;
  };
  void OnList(const std::shared_ptr<HttpSocket>& socket,
              const std::shared_ptr<http::Request2>& request);

  const size_t page_size_;
  std::shared_ptr<HttpServer> server_;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Entry>> voided_;  // GUARDED_BY(mutex_)
  std::vector<ListRequest> requests_;                 // GUARDED_BY(mutex_)
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_VOIDED_PURCHASES_H_
