#include "framework/billing_store.h"

#include <initializer_list>
#include <utility>

#include "framework/json.h"

namespace tvx {
namespace {

const std::pair<const char*, int> kProviders[] = {
    {kGooglePlayName, kBillingServiceProviderGooglePlay},
    {kAppleAppStoreName, kBillingServiceProviderAppleAppStore},
    {kTStoreName, kBillingServiceProviderTStore},
    {kPlayStation4Name, kBillingServiceProviderPlayStation4},
    {kOneStoreName, kBillingServiceProviderOneStore},
};

Json StoreObject(const char* store) {
  Json object = Json::Object();
  object.SetString(kBillingServiceProviderKey, store);
  return object;
}

// The key object when it is a JSON object of `store`; null Json otherwise.
Json ParseKeyOf(const std::string& key, const char* store) {
  Json parsed;
  if (!parsed.FromString(key) || !parsed.IsObject() ||
      !parsed.HasAttribute(kBillingServiceProviderKey, Json::kString) ||
      parsed.GetString(kBillingServiceProviderKey) != store) {
    return Json();
  }
  return parsed;
}

bool ReadStrings(const Json& object,
                 std::initializer_list<std::pair<const char*, std::string*>> members) {
  if (!object.IsObject()) return false;
  for (const auto& [name, out] : members) {
    if (!object.HasAttribute(name, Json::kString)) return false;
  }
  for (const auto& [name, out] : members) *out = object.GetString(name);
  return true;
}

}  // namespace

int GetBillingServiceProviderFromString(const std::string& name) {
  for (const auto& [text, code] : kProviders) {
    if (name == text) return code;
  }
  return kBillingServiceProviderNone;
}

std::string GetBillingServiceProviderString(int code) {
  for (const auto& [text, provider] : kProviders) {
    if (code == provider) return text;
  }
  return std::string();
}

std::string MakeGooglePlayReceipt(const std::string& package_name, const std::string& product_id,
                                  const std::string& purchase_token) {
  Json receipt = StoreObject(kGooglePlayName);
  receipt.SetString(kGooglePlayPackageNameKey, package_name);
  receipt.SetString(kGooglePlayProductIdKey, product_id);
  receipt.SetString(kGooglePlayPurchaseTokenKey, purchase_token);
  return receipt.ToString();
}

std::string MakeAppleAppStoreReceipt(const std::string& receipt_data,
                                     const std::string& product_id, int64_t quantity) {
  Json receipt = StoreObject(kAppleAppStoreName);
  receipt.SetString(kAppleAppStoreReceiptDataKey, receipt_data);
  receipt.SetString(kAppleAppStoreProductIdKey, product_id);
  receipt.SetAttribute(kAppleAppStoreQuantityKey, Json(quantity));
  return receipt.ToString();
}

std::string MakeOneStoreReceipt(const std::string& txid, const std::string& appid,
                                const std::string& signdata,
                                const std::vector<std::string>& products, bool test) {
  Json receipt = StoreObject(kTStoreName);
  receipt.SetString(kTStoreTxidKey, txid);
  receipt.SetString(kTStoreAppidKey, appid);
  receipt.SetString(kTStoreSigndataKey, signdata);
  receipt.SetAttribute(kTStoreTestKey, Json(test));
  Json list = Json::Array();
  for (const auto& product : products) list.PushBack(Json(product));
  receipt.SetAttribute(kTStoreProductsKey, std::move(list));
  return receipt.ToString();
}

std::string MakeOneStoreReceiptV5(const std::string& purchase_id, const std::string& package_name,
                                  const std::string& product_id) {
  Json receipt = StoreObject(kOneStoreName);
  receipt.SetString(kOneStorePurchaseIdKey, purchase_id);
  receipt.SetString(kOneStorePackageNameKey, package_name);
  receipt.SetString(kOneStoreProductIdKey, product_id);
  return receipt.ToString();
}

std::string MakeP4StoreReceipt(const std::string& entitlement_id, int64_t use_count,
                               int64_t service_label, const std::string& auth_code) {
  Json receipt = StoreObject(kPlayStation4Name);
  receipt.SetString(kP4EntitlementIdKey, entitlement_id);
  receipt.SetAttribute(kP4UseCountKey, Json(use_count));
  receipt.SetAttribute(kP4ServiceLabelKey, Json(service_label));
  receipt.SetString(kP4AuthCodeKey, auth_code);
  return receipt.ToString();
}

std::string MakeGooglePlayAuthKey(const std::string& private_key,
                                  const std::string& client_email) {
  Json key = StoreObject(kGooglePlayName);
  key.SetString(kGooglePlayPrivateKeyKey, private_key);
  key.SetString(kGooglePlayClientEmailKey, client_email);
  return key.ToString();
}

std::string MakeGooglePlayAuthKey(const std::string& client_id, const std::string& client_secret,
                                  const std::string& refresh_token) {
  Json key = StoreObject(kGooglePlayName);
  key.SetString(kGooglePlayClientIdKey, client_id);
  key.SetString(kGooglePlayClientSecretKey, client_secret);
  key.SetString(kGooglePlayRefreshTokenKey, refresh_token);
  return key.ToString();
}

std::string MakeOneStoreAuthKey(const std::string& client_id, const std::string& client_secret) {
  Json key = StoreObject(kOneStoreName);
  key.SetString(kOneStoreClientIdKey, client_id);
  key.SetString(kOneStoreClientSecretKey, client_secret);
  return key.ToString();
}

bool ParseGooglePlayAuthKey(const std::string& key, std::string* private_key,
                            std::string* client_email) {
  return ReadStrings(ParseKeyOf(key, kGooglePlayName),
                     {{kGooglePlayPrivateKeyKey, private_key},
                      {kGooglePlayClientEmailKey, client_email}});
}

bool ParseGooglePlayAuthKey(const std::string& key, std::string* refresh_token,
                            std::string* client_id, std::string* client_secret) {
  return ReadStrings(ParseKeyOf(key, kGooglePlayName),
                     {{kGooglePlayRefreshTokenKey, refresh_token},
                      {kGooglePlayClientIdKey, client_id},
                      {kGooglePlayClientSecretKey, client_secret}});
}

bool ParseOneStoreAuthKey(const std::string& key, std::string* client_id,
                          std::string* client_secret) {
  return ReadStrings(ParseKeyOf(key, kOneStoreName),
                     {{kOneStoreClientIdKey, client_id},
                      {kOneStoreClientSecretKey, client_secret}});
}

}  // namespace tvx
