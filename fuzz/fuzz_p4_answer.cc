// The PlayStation entitlement service's answer: "<requested use count>\n
// <body>". An entitlement is read only from an answer whose members all
// have their types, and the judgement never accepts a use count beyond the
// limit of a limited entitlement.
#include <string>

#include "fuzz/fuzz_support.h"
#include "src/p4_store_adapter.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  fuzz::Lines input(data, size);
  const std::string count = input.Next();
  uint64_t digits = 0;  // any characters read as digits, wrapping
  for (char c : count) digits = digits * 10 + (c & 0x0f);
  const auto requested = static_cast<int64_t>(digits);

  P4StoreAdapter::EntitlementResponse entitlement;
  if (!ReadP4Entitlement(input.Rest(), requested, &entitlement)) return 0;
  const P4EntitlementVerdict verdict = JudgeP4Entitlement(entitlement);
  if (verdict == P4EntitlementVerdict::kAccept && entitlement.use_limit != 0) {
    FUZZ_CHECK(entitlement.requested_use_count <= entitlement.use_limit);
  }
  return 0;
}
