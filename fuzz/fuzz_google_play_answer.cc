// Google Play's answer to a purchase query: "<status>\n<body>". An answer
// is a retryable failure, a refusal, a protocol error, or a purchase whose
// states lie within the ranges the flow maps.
#include "fuzz/fuzz_support.h"
#include "src/billing_error.h"
#include "src/google_play_adapter.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  using Answer = GooglePlayAdapter::ReceiptValidationResponse;
  fuzz::Lines input(data, size);
  http::Response response;
  const http::TransportCode transport = fuzz::ReadStatus(input.Next(), &response);
  response.body = input.Rest();

  Answer answer;
  const auto error = GooglePlayAdapter::ReadReceiptValidationAnswer(transport, response, &answer);
  if (error) return 0;
  if (answer.code != Answer::kSuccess) {
    FUZZ_CHECK(response.status_code != 200);
    return 0;
  }
  FUZZ_CHECK(response.status_code == 200 && answer.receipt.IsObject());
  FUZZ_CHECK(answer.purchase_state >= 0 && answer.purchase_state <= 2);
  FUZZ_CHECK(answer.acknowledgement_state == 0 || answer.acknowledgement_state == 1);
  FUZZ_CHECK(answer.not_consumed == 0 || answer.not_consumed == 1);
  FUZZ_CHECK(answer.purchase_type >= -1 && answer.purchase_type <= 2);
  return 0;
}
