// The "Purchase" activity log: one record for every purchase provisioned for
// the first time through the Google Play or Apple App Store flow.
#ifndef SRC_PURCHASE_LOG_H_
#define SRC_PURCHASE_LOG_H_

#include <cstdint>
#include <string>

namespace tvx {

void LogPurchase(const std::string& biller_client, const std::string& local_account,
                 const std::string& account_provider, const std::string& product_id,
                 int64_t quantity, int64_t client_timestamp, const std::string& client_timezone,
                 int64_t server_timestamp);

// Whole seconds since the epoch of a text of milliseconds since the epoch; 0
// when the text is empty or no integer, so that the purchase is still logged.
int64_t EpochSecondsOfMillisText(const std::string& millis);

}  // namespace tvx

#endif  // SRC_PURCHASE_LOG_H_
