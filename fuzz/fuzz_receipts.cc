// Receipt texts as a TCP client hands them over: any bytes. A receipt that
// reads as a JSON object names its store by "service_provider"; its members
// written back by the store's receipt builder read the same, and the JSON
// text of any value reads back as that value.
#include <string>
#include <vector>

#include "framework/billing_store.h"
#include "framework/json.h"
#include "fuzz/fuzz_support.h"
#include "src/billing_agent.h"

namespace tvx::fuzz {
namespace {

Json Reread(const std::string& text) {
  Json json;
  FUZZ_CHECK(json.FromString(text));
  return json;
}

// Equal values, members in the same order; numbers with a fraction or an
// exponent need only stay such numbers (their text is the shortest that
// reads back, which the parser may round differently in the last place).
bool Same(const boost::json::value& a, const boost::json::value& b) {
  if (a.is_double() || b.is_double()) return a.is_double() && b.is_double();
  if (a.is_object() && b.is_object()) {
    const auto& x = a.get_object();
    const auto& y = b.get_object();
    if (x.size() != y.size()) return false;
    for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
      if (i->key() != j->key() || !Same(i->value(), j->value())) return false;
    }
    return true;
  }
  if (a.is_array() && b.is_array()) {
    const auto& x = a.get_array();
    const auto& y = b.get_array();
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (!Same(x[i], y[i])) return false;
    }
    return true;
  }
  return a == b;
}

// The members a store's flow reads, rebuilt by the store's builder, read the
// same as in the client's receipt.
void CheckRebuilt(int provider, const Json& receipt) {
  std::string rebuilt;
  std::vector<const char*> members;
  switch (provider) {
    case kBillingServiceProviderGooglePlay:
      rebuilt = MakeGooglePlayReceipt(receipt.GetString(kGooglePlayPackageNameKey),
                                      receipt.GetString(kGooglePlayProductIdKey),
                                      receipt.GetString(kGooglePlayPurchaseTokenKey));
      members = {kGooglePlayPackageNameKey, kGooglePlayProductIdKey, kGooglePlayPurchaseTokenKey};
      break;
    case kBillingServiceProviderAppleAppStore:
      rebuilt = MakeAppleAppStoreReceipt(receipt.GetString(kAppleAppStoreReceiptDataKey),
                                         receipt.GetString(kAppleAppStoreProductIdKey),
                                         receipt.GetInteger(kAppleAppStoreQuantityKey));
      members = {kAppleAppStoreReceiptDataKey, kAppleAppStoreProductIdKey};
      break;
    case kBillingServiceProviderTStore: {
      std::vector<std::string> products;
      const Json list = receipt[kTStoreProductsKey];
      for (size_t i = 0; i < list.Size(); ++i) products.push_back(list[i].GetString());
      rebuilt = MakeOneStoreReceipt(receipt.GetString(kTStoreTxidKey),
                                    receipt.GetString(kTStoreAppidKey),
                                    receipt.GetString(kTStoreSigndataKey), products,
                                    receipt.GetBool(kTStoreTestKey));
      members = {kTStoreTxidKey, kTStoreAppidKey, kTStoreSigndataKey};
      break;
    }
    case kBillingServiceProviderOneStore:
      rebuilt = MakeOneStoreReceiptV5(receipt.GetString(kOneStorePurchaseIdKey),
                                      receipt.GetString(kOneStorePackageNameKey),
                                      receipt.GetString(kOneStoreProductIdKey));
      members = {kOneStorePurchaseIdKey, kOneStorePackageNameKey, kOneStoreProductIdKey};
      break;
    case kBillingServiceProviderPlayStation4:
      rebuilt = MakeP4StoreReceipt(receipt.GetString(kP4EntitlementIdKey),
                                   receipt.GetInteger(kP4UseCountKey),
                                   receipt.GetInteger(kP4ServiceLabelKey),
                                   receipt.GetString(kP4AuthCodeKey));
      members = {kP4EntitlementIdKey, kP4AuthCodeKey};
      break;
    default:
      return;
  }
  const Json again = Reread(rebuilt);
  FUZZ_CHECK(BillingAgent::GetServiceProvider(again) == provider);
  for (const char* name : members) FUZZ_CHECK(again.GetString(name) == receipt.GetString(name));
}

}  // namespace
}  // namespace tvx::fuzz

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  Json receipt;
  if (!receipt.FromString(std::string_view(reinterpret_cast<const char*>(data), size))) return 0;
  FUZZ_CHECK(fuzz::Same(fuzz::Reread(receipt.ToString()).value(), receipt.value()));
  FUZZ_CHECK(fuzz::Same(fuzz::Reread(receipt.ToString(true)).value(), receipt.value()));
  const int provider = BillingAgent::GetServiceProvider(receipt);
  FUZZ_CHECK(provider == GetBillingServiceProviderFromString(
                             receipt.GetString(kBillingServiceProviderKey)));
  fuzz::CheckRebuilt(provider, receipt);
  return 0;
}
