// AppleAppStoreAdapter: asks Apple's receipt-verification service whether an
// App Store receipt proves the purchase a client claims. Production is asked
// first; a receipt Apple calls a sandbox receipt (status 21007) is asked
// again, by the same adapter, at the sandbox endpoint. Sessions, retries, the
// database and the client protocol belong to the Apple flow.
//
// An adapter serves one attempt of one validation: the flow makes it, the
// completion bound into its HttpClient keeps it alive, and it goes once the
// callback has run.
#ifndef SRC_APPLE_APPSTORE_ADAPTER_H_
#define SRC_APPLE_APPSTORE_ADAPTER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/system/error_code.hpp>

#include "framework/http_client.h"
#include "framework/io_service.h"
#include "framework/json.h"

namespace tvx {

class AppleAppStoreAdapter : public std::enable_shared_from_this<AppleAppStoreAdapter> {
 public:
  struct ReceiptValidationResponse {
    enum Code : int32_t {
      kSuccess = 0,
      kCancelled = 1,
      kInvalidReceipt = 2,
      kMissingProductInformation = 3,
    };
    Code code = kSuccess;
    // Of the matching in-app purchase; filled only on success.
    std::string product_id;
    std::string transaction_id;
    std::string original_transaction_id;
    std::string purchase_date;           // Apple's text, unchanged
    std::string original_purchase_date;  // Apple's text, unchanged
    bool is_sandbox = false;             // answered by the sandbox endpoint
    Json decoded_receipt;                // Apple's whole answer
  };

  // The records handed over as they are: the empty one goes with every
  // error; the other three are Apple's negative verdicts.
  static const ReceiptValidationResponse& EmptyResponse();
  static const ReceiptValidationResponse& CancelledResponse();
  static const ReceiptValidationResponse& InvalidReceiptResponse();
  static const ReceiptValidationResponse& MissingProductInformationResponse();

  // Called exactly once per RequestReceiptValidation with is_sandbox false:
  // an error and the empty record (common error 1 for an unreachable store,
  // Biller 2002, 2003 or 2004 otherwise); no error and a negative verdict;
  // or no error and a filled kSuccess record. Runs on an io thread.
  using Callback =
      std::function<void(const boost::system::error_code&, const ReceiptValidationResponse&)>;

  static std::shared_ptr<AppleAppStoreAdapter> Create(std::shared_ptr<IoContext> io_service);

  // `receipt` is the client's receipt, whose members the flow has checked:
  // "receipt_data" and "product_id" strings, "quantity" an integer.
  void RequestReceiptValidation(const bool& is_sandbox, const Json& receipt, Callback callback);

 private:
  explicit AppleAppStoreAdapter(std::shared_ptr<IoContext> io_service)
      : io_service_(std::move(io_service)) {}

  void OnReceiptValidationResponse(bool is_sandbox, const Json& receipt, const Callback& callback,
                                   http::TransportCode code, const http::Response& response);

  const std::shared_ptr<IoContext> io_service_;
  // The exchange in progress; the sandbox request replaces the production one.
  std::shared_ptr<HttpClient> http_client_;
};

// The request body: {"receipt-data": <the receipt's receipt_data>}, written
// by the JSON library so that no receipt text can add or change members.
std::string MakeAppleAppStoreRequestBody(const Json& receipt);

// What one answer from Apple means for the attempt.
struct AppleAppStoreVerdict {
  // Production said "sandbox receipt": ask the sandbox endpoint; nothing else
  // is set.
  bool ask_sandbox = false;
  boost::system::error_code error;
  AppleAppStoreAdapter::ReceiptValidationResponse response;
};

// Judges one answer against the client's receipt (product id and quantity),
// logging as it goes. `is_sandbox` tells which endpoint answered.
AppleAppStoreVerdict CheckAppleAppStoreAnswer(bool is_sandbox, const Json& receipt,
                                              http::TransportCode code,
                                              const http::Response& response);

// Apple's "quantity" text as a number: an optional "+" or "-", then decimal
// digits only, within the signed 64-bit range. nullopt otherwise.
std::optional<int64_t> ParseAppleAppStoreQuantity(std::string_view text);

// An Apple date ("2019-03-05 08:24:36 Etc/GMT"): the instant in seconds since
// 1970-01-01 UTC and the zone name. The date and time are always read as
// UTC; the zone is carried, never applied.
struct AppleAppStoreDate {
  int64_t epoch_seconds = 0;
  std::string zone;  // "GMT" when the text names none
};

// Reads `text` into `date` and, when given, its date-and-time part ("date
// time") into `date_time`. False when the date or the time of day cannot be
// read, or the text has fewer than two pieces; `date` is then untouched.
bool ConvertAppleAppStoreDate(const std::string& text, AppleAppStoreDate* date,
                              std::string* date_time = nullptr);

}  // namespace tvx

#endif  // SRC_APPLE_APPSTORE_ADAPTER_H_
