// Store credentials (auth keys) as a TCP client hands them over: any bytes.
// A key is read as at most one store's credentials, and what is read is
// written back by the builders into a key that reads the same.
#include <string>

#include "framework/billing_store.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  const std::string key(reinterpret_cast<const char*>(data), size);

  std::string private_key, client_email;
  const bool service_account = ParseGooglePlayAuthKey(key, &private_key, &client_email);
  if (service_account) {
    std::string again_key, again_email;
    FUZZ_CHECK(ParseGooglePlayAuthKey(MakeGooglePlayAuthKey(private_key, client_email),
                                      &again_key, &again_email));
    FUZZ_CHECK(again_key == private_key && again_email == client_email);
  }

  std::string refresh_token, client_id, client_secret;
  const bool oauth_client = ParseGooglePlayAuthKey(key, &refresh_token, &client_id, &client_secret);
  if (oauth_client) {
    std::string token, id, secret;
    FUZZ_CHECK(ParseGooglePlayAuthKey(MakeGooglePlayAuthKey(client_id, client_secret,
                                                            refresh_token),
                                      &token, &id, &secret));
    FUZZ_CHECK(token == refresh_token && id == client_id && secret == client_secret);
  }

  std::string os_id, os_secret;
  const bool one_store = ParseOneStoreAuthKey(key, &os_id, &os_secret);
  if (one_store) {
    FUZZ_CHECK(!service_account && !oauth_client);
    std::string id, secret;
    FUZZ_CHECK(ParseOneStoreAuthKey(MakeOneStoreAuthKey(os_id, os_secret), &id, &secret));
    FUZZ_CHECK(id == os_id && secret == os_secret);
  } else {
    FUZZ_CHECK(os_id.empty() && os_secret.empty());  // untouched on failure
  }
  return 0;
}
