#include "tests/support/fake_voided_purchases.h"

#include <algorithm>

#include "framework/io_service.h"
#include "framework/json.h"
#include "src/revocations.h"

namespace tvx::testing {
namespace {

constexpr char kIoGroup[] = "fake_voided_purchases";
constexpr char kPrefix[] = "/androidpublisher/v3/applications/";
constexpr char kSuffix[] = "/purchases/voidedpurchases";

int64_t NumberParameter(const std::string& target, const char* name, int64_t fallback) {
  std::string text;
  if (!QueryParameter(target, name, &text)) return fallback;
  try {
    return std::stoll(text);
  } catch (...) {
    return -1;
  }
}

}  // namespace

FakeVoidedPurchases::FakeVoidedPurchases(size_t page_size) : page_size_(page_size) {
  IoService::CreateIoGroup(kIoGroup, 1);
  HttpServerOptions options;
  options.bind_address = "127.0.0.1";
  server_ = HttpServer::Create(kIoGroup, options);
  server_->RegisterPrefixHandler(kPrefix, [this](const auto& socket, const auto& request) {
    OnList(socket, request);
  });
  server_->Start(0);
}

FakeVoidedPurchases::~FakeVoidedPurchases() {
  server_->Stop();
  server_.reset();
  IoService::DestroyAll();
}

std::string FakeVoidedPurchases::api_base() const {
  return "http://127.0.0.1:" + std::to_string(server_->port());
}

void FakeVoidedPurchases::Void(const std::string& package_name,
                               const std::string& purchase_token, int64_t voided_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& list = voided_[package_name];
  list.push_back({purchase_token, voided_ms});
  std::stable_sort(list.begin(), list.end(),
                   [](const Entry& a, const Entry& b) { return a.voided_ms < b.voided_ms; });
}

std::vector<FakeVoidedPurchases::ListRequest> FakeVoidedPurchases::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeVoidedPurchases::OnList(const std::shared_ptr<HttpSocket>& socket,
                                 const std::shared_ptr<http::Request2>& request) {
  const std::string& path = request->path;
  const size_t suffix_at = path.size() - std::min(path.size(), sizeof(kSuffix) - 1);
  if (request->method != "GET" || path.compare(suffix_at, std::string::npos, kSuffix) != 0) {
    socket->SendResponse(404, R"({"error": "not found"})", "application/json");
    return;
  }
  ListRequest seen;
  seen.package_name = path.substr(sizeof(kPrefix) - 1, suffix_at - (sizeof(kPrefix) - 1));
  seen.start_time_ms = NumberParameter(request->target, "startTime", 0);
  QueryParameter(request->target, "token", &seen.page_token);
  const int64_t max_results = NumberParameter(request->target, "maxResults", 1000);
  // The token is the index of the page's first entry.
  const size_t first =
      static_cast<size_t>(std::max<int64_t>(0, NumberParameter(request->target, "token", 0)));
  const size_t size =
      std::min<size_t>(page_size_, static_cast<size_t>(std::max<int64_t>(max_results, 1)));

  Json list = Json::Array();
  std::string next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(seen);
    std::vector<Entry> matching;
    for (const Entry& entry : voided_[seen.package_name]) {
      if (entry.voided_ms >= seen.start_time_ms) matching.push_back(entry);
    }
    for (size_t i = first; i < matching.size() && i < first + size; ++i) {
      Json item = Json::Object();
      item.SetString("kind", "androidpublisher#voidedPurchase");
      item.SetString("purchaseToken", matching[i].purchase_token);
      item.SetString("voidedTimeMillis", std::to_string(matching[i].voided_ms));
      item.SetString("orderId", "GPA." + matching[i].purchase_token);
      item.SetAttribute("voidedSource", Json(2));
      item.SetAttribute("voidedReason", Json(7));
      list.PushBack(std::move(item));
    }
    if (first + size < matching.size()) next = std::to_string(first + size);
  }
  Json body = Json::Object();
  body.SetAttribute("voidedPurchases", std::move(list));
  if (!next.empty()) {
    Json pagination = Json::Object();
    pagination.SetString("nextPageToken", next);
    body.SetAttribute("tokenPagination", std::move(pagination));
  }
  socket->SendResponse(200, body.ToString(), "application/json");
}

}  // namespace tvx::testing
