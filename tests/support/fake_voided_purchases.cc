#include "tests/support/fake_voided_purchases.h"

#include <algorithm>
#include <charconv>

namespace tvx::testing {
namespace {

constexpr char kPrefix[] = "/androidpublisher/v3/applications/";
constexpr char kSuffix[] = "/purchases/voidedpurchases";

// `fallback` when absent, -1 when not a number.
int64_t NumberParameter(std::map<std::string, std::string>& query, const char* name,
                        int64_t fallback) {
  int64_t number = -1;
  if (!query.contains(name)) return fallback;
  std::from_chars(query[name].data(), query[name].data() + query[name].size(), number);
  return number;
}

}  // namespace

FakeVoidedPurchases::FakeVoidedPurchases(size_t page_size) : page_size_(page_size) {
  server_.RoutePrefix("GET", kPrefix, std::bind_front(&FakeVoidedPurchases::OnList, this));
}

void FakeVoidedPurchases::Void(const std::string& package_name,
                               const std::string& purchase_token, int64_t voided_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  voided_[package_name].emplace(voided_ms, purchase_token);
}

std::vector<FakeVoidedPurchases::ListRequest> FakeVoidedPurchases::Requests() const {
  return LockedCopy(mutex_, requests_);
}

FakeResponse FakeVoidedPurchases::OnList(const FakeRequest& request) {
  if (!request.path.ends_with(kSuffix)) return FakeResponse::Raw(404, R"({"error": "not found"})");
  auto query = request.Query();
  const ListRequest seen{
      .package_name = request.path.substr(sizeof(kPrefix) - 1, request.path.size() -
                                                                   (sizeof(kPrefix) - 1) -
                                                                   (sizeof(kSuffix) - 1)),
      .start_time_ms = NumberParameter(query, "startTime", 0),
      .page_token = query["token"]};
  // The token is the index of the page's first entry.
  const size_t first = static_cast<size_t>(std::max<int64_t>(0, NumberParameter(query, "token", 0)));
  const size_t size = std::min<size_t>(
      page_size_, static_cast<size_t>(std::max<int64_t>(NumberParameter(query, "maxResults", 1000), 1)));
  tvx::Json list = tvx::Json::Array();
  tvx::Json body = tvx::Json::Object();
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(seen);
  const auto& voided = voided_[seen.package_name];
  size_t index = 0;
  for (auto it = voided.lower_bound(seen.start_time_ms); it != voided.end(); ++it, ++index) {
    if (index >= first + size) {
      body.SetAttribute("tokenPagination", JsonObject({{"nextPageToken", std::to_string(index)}}));
      break;
    }
    if (index < first) continue;
    list.PushBack(JsonObject({{"kind", "androidpublisher#voidedPurchase"},
                              {"purchaseToken", it->second},
                              {"voidedTimeMillis", std::to_string(it->first)},
                              {"orderId", "GPA." + it->second},
                              {"voidedSource", 2},
                              {"voidedReason", 7}}));
  }
  body.SetAttribute("voidedPurchases", list);
  return FakeResponse::Json(200, body);
}

}  // namespace tvx::testing
