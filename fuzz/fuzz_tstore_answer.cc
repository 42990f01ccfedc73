// TStore's answer to a signature confirmation:
// "<status>\n<txid>\n<appid>\n<product ids, comma-separated>\n<body>". A
// confirmed purchase holds every requested product, each of the client's
// application.
#include <string>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

#include "fuzz/fuzz_support.h"
#include "src/tstore_adapter.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  tvx::fuzz::QuietLogs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tvx;
  using Answer = TStoreAdapter::ReceiptValidationResponse;
  fuzz::Lines input(data, size);
  http::Response response;
  const http::TransportCode transport = fuzz::ReadStatus(input.Next(), &response);
  const std::string txid = input.Next();
  const std::string appid = input.Next();
  std::vector<std::string> product_ids;
  const std::string list = input.Next();
  for (size_t from = 0; from < list.size();) {
    const size_t comma = std::min(list.find(',', from), list.size());
    product_ids.push_back(list.substr(from, comma - from));
    from = comma + 1;
  }
  response.body = input.Rest();

  const TStoreVerdict verdict = CheckTStoreAnswer(txid, appid, product_ids, transport, response);
  if (verdict.error || verdict.response.code != Answer::kSuccess) return 0;
  FUZZ_CHECK(response.status_code == 200);
  for (const std::string& requested : product_ids) {
    bool found = false;
    for (const auto& product : verdict.response.products) {
      found = found || boost::algorithm::iequals(product.product_id, requested);
    }
    FUZZ_CHECK(found);
  }
  FUZZ_CHECK(verdict.response.decoded_receipt.GetString("txid") == txid);
  return 0;
}
