// Google Play's voided-purchases list, paged, oldest voided first.
#ifndef TESTS_SUPPORT_FAKE_VOIDED_PURCHASES_H_
#define TESTS_SUPPORT_FAKE_VOIDED_PURCHASES_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {

class FakeVoidedPurchases {
 public:
  struct ListRequest {
    std::string package_name;
    int64_t start_time_ms = 0;
    std::string page_token;
  };

  explicit FakeVoidedPurchases(size_t page_size);

  std::string api_base() const { return server_.Url(); }
  // voidedReason 7, chargeback.
  void Void(const std::string& package_name, const std::string& purchase_token,
            int64_t voided_ms);
  std::vector<ListRequest> Requests() const;

 private:
  FakeResponse OnList(const FakeRequest& request);

  const size_t page_size_;
  mutable std::mutex mutex_;
  std::map<std::string, std::multimap<int64_t, std::string>> voided_;  // GUARDED_BY(mutex_)
  std::vector<ListRequest> requests_;                                  // GUARDED_BY(mutex_)
  FakeHttpServer server_;  // last: it stops before what its handler reads goes
};

}  // namespace tvx::testing

#endif  // TESTS_SUPPORT_FAKE_VOIDED_PURCHASES_H_
