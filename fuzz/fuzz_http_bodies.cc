// The bodies of the five HTTP endpoints. The first input byte picks the
// endpoint, the rest is the body. A body is either refused with an error
// text, which the answer carries intact, or it yields the request a TCP
// client would send: a receipt of the endpoint's store holding the body's
// values, or store credentials that the auth-key parsers accept.
#include <string>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/json.h"
#include "fuzz/fuzz_support.h"
#include "src/billing_agent.h"
#include "src/billing_agent_http.h"
#include "src/http_rendering.h"

namespace tvx::fuzz {
namespace {

// The refusal answer shows the error text exactly.
void CheckRefusal(const std::string& error) {
  FUZZ_CHECK(!error.empty());
  const auto response = BillingMessageWriter::CreateAuthenticationResponse(
      util::kNilUuid, Biller::Authentication_Response::kFailUnknown, error);
  std::string rendered;
  FUZZ_CHECK(RenderHttpResponseBody(*response, nullptr, &rendered));
  Json answer;
  FUZZ_CHECK(answer.FromString(rendered) && answer.IsObject());
  FUZZ_CHECK(answer.GetString("description") == error);
}

void Authentication(const std::string& body) {
  HttpAuthenticationFields fields;
  std::string error;
  if (!ParseHttpAuthenticationBody(body, &fields, &error)) return CheckRefusal(error);
  FUZZ_CHECK(!fields.biller_client_id.empty());
  for (const std::string& key : fields.auth_keys) {
    std::string a, b, c;
    FUZZ_CHECK(ParseGooglePlayAuthKey(key, &a, &b) || ParseGooglePlayAuthKey(key, &a, &b, &c) ||
               ParseOneStoreAuthKey(key, &a, &b));
  }
}

void Validation(HttpValidationEndpoint endpoint, int provider, const std::string& body) {
  HttpValidationFields fields;
  std::string error;
  if (!ParseHttpValidationBody(endpoint, body, &fields, &error)) return CheckRefusal(error);
  Json sent, receipt;
  FUZZ_CHECK(sent.FromString(body));
  FUZZ_CHECK(receipt.FromString(fields.receipt) && receipt.IsObject());
  FUZZ_CHECK(BillingAgent::GetServiceProvider(receipt) == provider);
  FUZZ_CHECK(fields.session_id == sent.GetString("sessionid"));
  FUZZ_CHECK(fields.player_id == sent.GetString("player_id"));
  // Every value of the body that the receipt carries is carried unchanged.
  for (const std::string& name : receipt.GetAttributeNames()) {
    if (name == kBillingServiceProviderKey) continue;
    const std::string wire = name == "product_id" && provider == kBillingServiceProviderOneStore
                                 ? "prodouct_id"
                                 : name;
    if (name == kTStoreTestKey) {
      FUZZ_CHECK(receipt[name].GetBool() == (sent[wire].IsBool() && sent[wire].GetBool()));
    } else {
      FUZZ_CHECK(receipt[name] == sent[wire]);
    }
  }
}

}  // namespace
}  // namespace tvx::fuzz

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  using Endpoint = HttpValidationEndpoint;
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0:
      fuzz::Authentication(body);
      break;
    case 1:
      fuzz::Validation(Endpoint::kGooglePlay, kBillingServiceProviderGooglePlay, body);
      break;
    case 2:
      fuzz::Validation(Endpoint::kAppleAppStore, kBillingServiceProviderAppleAppStore, body);
      break;
    case 3:
      fuzz::Validation(Endpoint::kTStore, kBillingServiceProviderTStore, body);
      break;
    case 4:
      fuzz::Validation(Endpoint::kOneStore, kBillingServiceProviderOneStore, body);
      break;
  }
  return 0;
}
