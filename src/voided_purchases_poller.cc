#include "src/voided_purchases_poller.h"

#include <algorithm>
#include <charconv>
#include <set>

#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/clock.h"
#include "framework/metrics.h"
#include "src/billing_agent_state.h"
#include "src/log_text.h"
#include "src/revocations.h"
#include "src/store_endpoints.h"
#include "src/store_http.h"

namespace tvx {
namespace {

constexpr char kTag[] = "[Google Play voided purchases] ";

std::mutex config_mutex;
std::shared_ptr<const VoidedPurchasesConfig> the_config;          // GUARDED_BY(config_mutex)
std::vector<std::shared_ptr<VoidedPurchasesPoller>> the_pollers;  // GUARDED_BY(config_mutex)

bool Wrong(const std::string& member, const std::string& why, std::string* error) {
  *error = "google_play_voided_purchases: \"" + member + "\" " + why;
  return false;
}

// Google's voidedReason codes.
std::string ReasonText(const Json& entry) {
  static const char* const kReasons[] = {"other",     "remorse",          "not_received",
                                         "defective", "accidental_purchase", "fraud",
                                         "friendly_fraud", "chargeback"};
  if (!entry.HasAttribute("voidedReason", Json::kInteger)) return "";
  const int64_t code = entry.GetInteger("voidedReason");
  if (code >= 0 && code < static_cast<int64_t>(std::size(kReasons))) return kReasons[code];
  return std::to_string(code);
}

// An int64 the API writes as a decimal string.
bool ReadMillis(const Json& entry, const char* name, int64_t* value) {
  const std::string text = entry.GetString(name);
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && ec == std::errc() && ptr == text.data() + text.size();
}

}  // namespace

bool SetVoidedPurchasesConfig(const Json& argument, std::string* error) {
  if (argument.IsNull()) {
    std::lock_guard<std::mutex> lock(config_mutex);
    the_config.reset();
    return true;
  }
  if (!argument.IsObject()) {
    return Wrong("google_play_voided_purchases", "must be an object", error);
  }
  auto config = std::make_shared<VoidedPurchasesConfig>();
  const Json packages = argument["package_names"];
  if (!packages.IsArray() || packages.Size() == 0) {
    return Wrong("package_names", "must be a non-empty array of strings", error);
  }
  std::set<std::string> seen;
  for (size_t i = 0; i < packages.Size(); ++i) {
    if (!packages[i].IsString() || packages[i].GetString().empty()) {
      return Wrong("package_names", "must be a non-empty array of strings", error);
    }
    if (seen.insert(packages[i].GetString()).second) {
      config->package_names.push_back(packages[i].GetString());
    }
  }
  const Json account = argument["service_account"];
  if (!account.IsObject() ||
      !ParseGooglePlayAuthKey(account.ToString(), &config->account.private_key,
                              &config->account.client_email) ||
      config->account.private_key.empty() || config->account.client_email.empty()) {
    return Wrong("service_account", "must be a Google Play service-account key", error);
  }
  if (argument.HasAttribute("poll_interval_s")) {
    if (!argument.HasAttribute("poll_interval_s", Json::kInteger) ||
        argument.GetInteger("poll_interval_s") < 1) {
      return Wrong("poll_interval_s", "must be a positive integer", error);
    }
    config->poll_interval_s = argument.GetInteger("poll_interval_s");
  }
  std::lock_guard<std::mutex> lock(config_mutex);
  the_config = std::move(config);
  return true;
}

bool ReadVoidedPurchasesPage(const std::string& body, VoidedPurchasesPage* page) {
  Json answer;
  if (!answer.FromString(body) || !answer.IsObject()) return false;
  VoidedPurchasesPage read;
  const Json entries = answer["voidedPurchases"];
  if (!entries.IsNull() && !entries.IsArray()) return false;
  for (size_t i = 0; i < entries.Size(); ++i) {
    const Json entry = entries[i];
    RevocationRow row;
    row.store = kGooglePlayName;
    row.purchase_id = entry.GetString("purchaseToken");
    if (row.purchase_id.empty() || !ReadMillis(entry, "voidedTimeMillis", &row.revoked_at_ms)) {
      return false;
    }
    row.reason = ReasonText(entry);
    row.source = kSourceVoidedPurchases;
    read.latest_voided_ms = std::max(read.latest_voided_ms, row.revoked_at_ms);
    read.revocations.push_back(std::move(row));
  }
  read.next_page_token = answer["tokenPagination"].GetString("nextPageToken");
  *page = std::move(read);
  return true;
}

std::string VoidedPurchasesUrl(const std::string& api_base, const std::string& package_name,
                               int64_t start_time_ms, const std::string& page_token) {
  std::string url = api_base + "/androidpublisher/v3/applications/" +
                    UrlPathSegment(package_name) + "/purchases/voidedpurchases?startTime=" +
                    std::to_string(start_time_ms) +
                    "&maxResults=" + std::to_string(kVoidedPageSize);
  if (!page_token.empty()) url += "&token=" + http::UrlEncode(page_token);
  return url;
}

int64_t VoidedPurchasesStartTime(int64_t high_water_ms, int64_t now_ms) {
  return std::max(high_water_ms, now_ms - kVoidedLookBackMs);
}

std::shared_ptr<VoidedPurchasesPoller> VoidedPurchasesPoller::Create(
    std::shared_ptr<IoContext> io, std::string package_name, GoogleServiceAccount account,
    int64_t interval_s) {
  return std::shared_ptr<VoidedPurchasesPoller>(new VoidedPurchasesPoller(
      std::move(io), std::move(package_name), std::move(account), interval_s));
}

VoidedPurchasesPoller::VoidedPurchasesPoller(std::shared_ptr<IoContext> io,
                                             std::string package_name,
                                             GoogleServiceAccount account, int64_t interval_s)
    : package_name_(std::move(package_name)),
      account_(std::move(account)),
      interval_us_(interval_s * 1000 * 1000),
      client_(std::make_shared<HttpClient>(io)) {}

void VoidedPurchasesPoller::Start() { Schedule(0); }

void VoidedPurchasesPoller::Stop() {
  stopped_ = true;
  std::lock_guard<std::mutex> lock(timer_mutex_);
  if (timer_ != Timer::kInvalidTimerId) RawTimer::Cancel(timer_);
  timer_ = Timer::kInvalidTimerId;
}

void VoidedPurchasesPoller::Schedule(int64_t delay_us) {
  std::lock_guard<std::mutex> lock(timer_mutex_);
  if (stopped_) return;
  timer_ = RawTimer::ExpireAfter(delay_us, [self = shared_from_this()] { self->Poll(); });
}

void VoidedPurchasesPoller::Poll() {
  if (stopped_) return;
  std::shared_ptr<BillerDatabase> database = the_db_connection.load();
  if (!database) return Fail("no database");
  database->LoadPollMark(package_name_, [self = shared_from_this()](bool ok, int64_t mark) {
    if (self->stopped_) return;
    if (!ok) return self->Fail("the high-water mark could not be read");
    self->mark_ms_ = mark;
    self->start_ms_ = VoidedPurchasesStartTime(
        mark, (WallClock::Now() - WallClock::kEpochClock).total_milliseconds());
    self->latest_ms_ = mark;
    self->pages_ = 0;
    self->page_token_.clear();
    self->AskToken();
  });
}

void VoidedPurchasesPoller::AskToken() {
  GooglePlayAdapter::GetAccessToken(
      account_, [self = shared_from_this()](const std::string& token,
                                            const boost::system::error_code& ec) {
        if (self->stopped_) return;
        if (ec) return self->Fail("no access token: " + ec.message());
        self->access_token_ = token;
        self->AskPage();
      });
}

void VoidedPurchasesPoller::AskPage() {
  ++pages_;
  client_->SetHeader("Authorization", "Bearer " + access_token_);
  client_->GetAsync(
      VoidedPurchasesUrl(GetStoreEndpoints()->google_api_base, package_name_, start_ms_,
                         page_token_),
      [self = shared_from_this()](http::TransportCode code, const http::Response& response) {
        self->OnPage(code, response);
      },
      0);
}

void VoidedPurchasesPoller::OnPage(http::TransportCode code, const http::Response& response) {
  if (stopped_) return;
  if (code != http::TransportCode::kOk || response.status_code != 200) {
    metrics::CountStoreRequestFailure(kBillingServiceProviderGooglePlay);
    if (response.status_code == 401) {
      GooglePlayAdapter::InvalidateAccessToken(GooglePlayAdapter::TokenKey(account_),
                                               access_token_);
    }
    return Fail("code=" + std::to_string(static_cast<int>(code)) +
                ", status_code=" + std::to_string(response.status_code) +
                ", message=" + ToLogText(ForLog(response.body)));
  }
  auto page = std::make_shared<VoidedPurchasesPage>();
  if (!ReadVoidedPurchasesPage(response.body, page.get())) {
    return Fail("malformed answer: " + ToLogText(ForLog(response.body)));
  }
  RecordNext(std::move(page), 0);
}

void VoidedPurchasesPoller::RecordNext(std::shared_ptr<VoidedPurchasesPage> page, size_t index) {
  if (stopped_) return;
  if (index == page->revocations.size()) {
    latest_ms_ = std::max(latest_ms_, page->latest_voided_ms);
    // A token seen again would loop; the next poll goes on from the mark.
    if (!page->next_page_token.empty() && page->next_page_token != page_token_ &&
        pages_ < kMaxVoidedPagesPerPoll) {
      page_token_ = page->next_page_token;
      return AskPage();
    }
    return EndPoll();
  }
  RecordRevocation(page->revocations[index],
                   [self = shared_from_this(), page, index](bool recorded) {
                     if (!recorded) return self->Fail("a revocation could not be recorded");
                     self->RecordNext(page, index + 1);
                   });
}

void VoidedPurchasesPoller::EndPoll() {
  if (latest_ms_ <= mark_ms_) return Succeed();
  std::shared_ptr<BillerDatabase> database = the_db_connection.load();
  if (!database) return Fail("no database");
  database->SavePollMark(package_name_, latest_ms_, [self = shared_from_this()](bool ok, int64_t) {
    if (!ok) return self->Fail("the high-water mark could not be kept");
    self->Succeed();
  });
}

void VoidedPurchasesPoller::Succeed() {
  back_off_.Reset();
  Schedule(interval_us_);
}

void VoidedPurchasesPoller::Fail(const std::string& why) {
  const int64_t delay = back_off_.NextWaitTime();
  LOG(WARNING) << kTag << "poll of " << LogText(package_name_) << " failed (" << why
               << "); next try in " << delay / 1000 << " ms";
  Schedule(delay);
}

void StartVoidedPurchasesPollers() {
  std::lock_guard<std::mutex> lock(config_mutex);
  if (!the_config || !the_pollers.empty()) return;
  for (const std::string& package : the_config->package_names) {
    auto poller = VoidedPurchasesPoller::Create(AgentIo(), package, the_config->account,
                                                the_config->poll_interval_s);
    poller->Start();
    the_pollers.push_back(std::move(poller));
  }
  LOG(INFO) << kTag << "polling " << the_pollers.size() << " packages every "
            << the_config->poll_interval_s << " s";
}

void StopVoidedPurchasesPollers() {
  std::vector<std::shared_ptr<VoidedPurchasesPoller>> pollers;
  {
    std::lock_guard<std::mutex> lock(config_mutex);
    pollers.swap(the_pollers);
  }
  for (const auto& poller : pollers) poller->Stop();
}

}  // namespace tvx
