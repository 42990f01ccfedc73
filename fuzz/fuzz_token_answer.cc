// A token endpoint's answer (Google's and OneStore's OAuth grants):
// "<status>\n<body>". A token is taken only from a 200 answer, and its
// lifetime gives a refresh delay of at least ten seconds.
#include "fuzz/fuzz_support.h"
#include "src/access_token_cache.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  static const TokenCacheTexts kTexts{"[Fuzz] ", "Fuzz API", "Fuzz", "Fuzz"};
  fuzz::Lines input(data, size);
  http::Response response;
  const http::TransportCode transport = fuzz::ReadStatus(input.Next(), &response);
  response.body = input.Rest();

  AccessTokenResponse answer;
  const auto error = ReadAccessTokenAnswer(transport, response, kTexts, &answer);
  if (error || answer.code != AccessTokenResponse::kSuccess) {
    FUZZ_CHECK(answer.access_token.empty());
    return 0;
  }
  FUZZ_CHECK(response.status_code == 200 && !answer.access_token.empty());
  FUZZ_CHECK(RefreshDelay(answer.expires_in).count() >= 10);
  return 0;
}
