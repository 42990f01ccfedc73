#include "src/purchase_log.h"

#include <charconv>
#include <vector>

#include "framework/activity_log.h"
#include "framework/clock.h"

namespace tvx {
namespace {

constexpr char kPurchaseLogName[] = "Purchase";

const LoggerRegistryHelper the_purchase_log_registration(
    kPurchaseLogName,
    R"({"biller_client": "string", "local_account": "string", "account_provider": "string", )"
    R"("product_id": "string", "quantity": "integer", "client_timestamp": "integer", )"
    R"("client_timezone": "string", "server_timestamp": "integer"})",
    {"biller_client", "local_account", "account_provider", "product_id", "quantity",
     "client_timestamp", "client_timezone", "server_timestamp"},
    {ActivityColumnType::kText, ActivityColumnType::kText, ActivityColumnType::kText,
     ActivityColumnType::kText, ActivityColumnType::kInt64, ActivityColumnType::kInt64,
     ActivityColumnType::kText, ActivityColumnType::kInt64},
    {true, true, true, true, false, false, true, false});

}  // namespace

void LogPurchase(const std::string& biller_client, const std::string& local_account,
                 const std::string& account_provider, const std::string& product_id,
                 int64_t quantity, int64_t client_timestamp, const std::string& client_timezone,
                 int64_t server_timestamp) {
  LogActivity(kPurchaseLogName,
              {biller_client, local_account, account_provider, product_id,
               std::to_string(quantity), std::to_string(client_timestamp), client_timezone,
               std::to_string(server_timestamp)});
}

int64_t EpochSecondsOfMillisText(const std::string& millis) {
  int64_t value = 0;
  const char* end = millis.data() + millis.size();
  const auto [ptr, ec] = std::from_chars(millis.data(), end, value);
  if (millis.empty() || ec != std::errc() || ptr != end) return 0;
  return WallClock::ToSeconds(WallClock::FromMsec(value));
}

}  // namespace tvx
