// Store names, receipt texts and store credentials (auth keys). Receipts and
// auth keys are JSON object texts whose "service_provider" member names the
// store; they are written with the JSON library, so every value is escaped.
#ifndef FRAMEWORK_BILLING_STORE_H_
#define FRAMEWORK_BILLING_STORE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tvx {

enum BillingServiceProvider {
  kBillingServiceProviderNone = 0,
  kBillingServiceProviderGooglePlay = 1,
  kBillingServiceProviderAppleAppStore = 2,
  kBillingServiceProviderTStore = 3,
  kBillingServiceProviderPlayStation4 = 5,
  kBillingServiceProviderOneStore = 6,
};

inline constexpr char kBillingServiceProviderKey[] = "service_provider";

inline constexpr char kGooglePlayName[] = "GooglePlay";
inline constexpr char kAppleAppStoreName[] = "AppleAppStore";
inline constexpr char kTStoreName[] = "TStore";
inline constexpr char kPlayStation4Name[] = "PlayStation4";
inline constexpr char kOneStoreName[] = "OneStore";

// The provider code of a store name; 0 for any other text.
int GetBillingServiceProviderFromString(const std::string& name);
// The store name of a provider code; empty for 0 and unknown codes.
std::string GetBillingServiceProviderString(int code);

// Receipt members.
inline constexpr char kGooglePlayPackageNameKey[] = "package_name";
inline constexpr char kGooglePlayProductIdKey[] = "product_id";
inline constexpr char kGooglePlayPurchaseTokenKey[] = "purchase_token";

inline constexpr char kAppleAppStoreReceiptDataKey[] = "receipt_data";
inline constexpr char kAppleAppStoreProductIdKey[] = "product_id";
inline constexpr char kAppleAppStoreQuantityKey[] = "quantity";

inline constexpr char kTStoreTxidKey[] = "txid";
inline constexpr char kTStoreAppidKey[] = "appid";
inline constexpr char kTStoreSigndataKey[] = "signdata";
inline constexpr char kTStoreTestKey[] = "test";
inline constexpr char kTStoreProductsKey[] = "products";

inline constexpr char kOneStorePurchaseIdKey[] = "purchase_id";
inline constexpr char kOneStorePackageNameKey[] = "package_name";
inline constexpr char kOneStoreProductIdKey[] = "product_id";

inline constexpr char kP4EntitlementIdKey[] = "entitlement_id";
inline constexpr char kP4UseCountKey[] = "use_count";
inline constexpr char kP4ServiceLabelKey[] = "service_label";
inline constexpr char kP4AuthCodeKey[] = "auth_code";

std::string MakeGooglePlayReceipt(const std::string& package_name, const std::string& product_id,
                                  const std::string& purchase_token);
std::string MakeAppleAppStoreReceipt(const std::string& receipt_data,
                                     const std::string& product_id, int64_t quantity);
// The TStore receipt (the older OneStore API).
std::string MakeOneStoreReceipt(const std::string& txid, const std::string& appid,
                                const std::string& signdata,
                                const std::vector<std::string>& products, bool test);
std::string MakeOneStoreReceiptV5(const std::string& purchase_id, const std::string& package_name,
                                  const std::string& product_id);
std::string MakeP4StoreReceipt(const std::string& entitlement_id, int64_t use_count,
                               int64_t service_label, const std::string& auth_code);

// Auth-key members.
inline constexpr char kGooglePlayPrivateKeyKey[] = "private_key";
inline constexpr char kGooglePlayClientEmailKey[] = "client_email";
inline constexpr char kGooglePlayClientIdKey[] = "client_id";
inline constexpr char kGooglePlayClientSecretKey[] = "client_secret";
inline constexpr char kGooglePlayRefreshTokenKey[] = "refresh_token";
inline constexpr char kOneStoreClientIdKey[] = "client_id";
inline constexpr char kOneStoreClientSecretKey[] = "client_secret";

// Google Play service account.
std::string MakeGooglePlayAuthKey(const std::string& private_key, const std::string& client_email);
// Google Play OAuth client.
std::string MakeGooglePlayAuthKey(const std::string& client_id, const std::string& client_secret,
                                  const std::string& refresh_token);
std::string MakeOneStoreAuthKey(const std::string& client_id, const std::string& client_secret);

// Each parser succeeds only on a Google Play (resp. OneStore) key object whose
// members of its form are all strings; outputs are untouched on failure.
bool ParseGooglePlayAuthKey(const std::string& key, std::string* private_key,
                            std::string* client_email);
bool ParseGooglePlayAuthKey(const std::string& key, std::string* refresh_token,
                            std::string* client_id, std::string* client_secret);
bool ParseOneStoreAuthKey(const std::string& key, std::string* client_id,
                          std::string* client_secret);

}  // namespace tvx

#endif  // FRAMEWORK_BILLING_STORE_H_
