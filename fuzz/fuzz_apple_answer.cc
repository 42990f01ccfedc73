// Apple's answer to a receipt verification:
// "<status>\n<sandbox 0|1>\n<product id>\n<quantity>\n<body>", the middle
// lines being the client's receipt. A verified purchase is the requested
// product in the requested quantity, and its dates are read as the flow
// reads them.
#include <string>

#include "framework/billing_store.h"
#include "framework/json.h"
#include "fuzz/fuzz_support.h"
#include "src/apple_appstore_adapter.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  using Answer = AppleAppStoreAdapter::ReceiptValidationResponse;
  fuzz::Lines input(data, size);
  http::Response response;
  const http::TransportCode transport = fuzz::ReadStatus(input.Next(), &response);
  const bool is_sandbox = input.Next() == "1";
  const std::string product_id = input.Next();
  const int64_t quantity = ParseAppleAppStoreQuantity(input.Next()).value_or(1);
  response.body = input.Rest();
  Json receipt;
  if (!receipt.FromString(MakeAppleAppStoreReceipt("MIIb", product_id, quantity))) return 0;

  const AppleAppStoreVerdict verdict =
      CheckAppleAppStoreAnswer(is_sandbox, receipt, transport, response);
  if (verdict.ask_sandbox) FUZZ_CHECK(!is_sandbox && !verdict.error);
  if (verdict.ask_sandbox || verdict.error || verdict.response.code != Answer::kSuccess) return 0;
  FUZZ_CHECK(response.status_code == 200);
  FUZZ_CHECK(verdict.response.product_id == product_id);
  for (const std::string& date :
       {verdict.response.purchase_date, verdict.response.original_purchase_date}) {
    AppleAppStoreDate read;
    std::string date_time;
    ConvertAppleAppStoreDate(date, &read, &date_time);
  }
  return 0;
}
