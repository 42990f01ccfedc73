// OneStore's answer to a purchase query: "<status>\n<body>". An answer is a
// retryable failure, a refusal, a protocol error, or a purchase whose states
// lie within the ranges the flow maps.
#include "fuzz/fuzz_support.h"
#include "src/one_store_adapter.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  using Answer = OneStoreAdapter::ReceiptValidationResponse;
  fuzz::Lines input(data, size);
  http::Response response;
  const http::TransportCode transport = fuzz::ReadStatus(input.Next(), &response);
  response.body = input.Rest();

  Answer answer;
  const auto error = OneStoreAdapter::ReadReceiptValidationAnswer(transport, response, &answer);
  if (error || answer.code != Answer::kSuccess) return 0;
  FUZZ_CHECK(response.status_code == 200 && answer.receipt.IsObject());
  FUZZ_CHECK(answer.purchase_state == 0 || answer.purchase_state == 1);
  FUZZ_CHECK(answer.consumption_state == 0 || answer.consumption_state == 1);
  return 0;
}
