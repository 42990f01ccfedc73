// TStoreAdapter: asks the TStore signature-confirmation service whether a
// purchase receipt is genuine, and checks that the confirmed purchase belongs
// to the client's application and holds the products the client claims.
// Sessions, retries, the database and the client protocol belong to the
// TStore flow.
//
// An adapter makes exactly one request and lives, through the completion
// bound into its HttpClient, until that request is answered.
#ifndef SRC_TSTORE_ADAPTER_H_
#define SRC_TSTORE_ADAPTER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

#include "framework/http_client.h"
#include "framework/io_service.h"
#include "framework/json.h"

namespace tvx {

class TStoreAdapter : public std::enable_shared_from_this<TStoreAdapter> {
 public:
  // One confirmed purchase item.
  struct Product {
    std::string log_time;
    std::string product_id;
    int64_t charge_amount = 0;
    std::string tid;
    std::string bp_info;
  };

  struct ReceiptValidationResponse {
    enum Code : int32_t { kSuccess = 0, kInvalidReceipt = 1 };
    Code code = kSuccess;
    std::vector<Product> products;  // in the answer's order
    // On success: the store's whole answer, its "txid" set to the request's.
    Json decoded_receipt;
  };

  // Called exactly once per request: an error (common error 1 for an
  // unreachable store, Biller 2002, 2003 or 2004 otherwise; the record then
  // means nothing); no error and kInvalidReceipt; or no error and a filled
  // kSuccess record. Runs on an io thread.
  using Callback =
      std::function<void(const boost::system::error_code&, const ReceiptValidationResponse&)>;

  static std::shared_ptr<TStoreAdapter> Create(std::shared_ptr<IoContext> io_service);

  // Asks the development endpoint when `is_test`, else production. Every id
  // of `product_ids` must be among the confirmed products (letter case
  // aside); an empty list asks for none.
  void RequestReceiptValidation(const std::string& txid, const std::string& appid,
                                const std::string& signdata,
                                const std::vector<std::string>& product_ids, const bool& is_test,
                                Callback callback);

 private:
  explicit TStoreAdapter(std::shared_ptr<IoContext> io_service)
      : io_service_(std::move(io_service)) {}

  void OnReceiptValidationResponse(const std::string& txid, const std::string& appid,
                                   const std::vector<std::string>& product_ids,
                                   const Callback& callback, http::TransportCode code,
                                   const http::Response& response);

  const std::shared_ptr<IoContext> io_service_;
  std::shared_ptr<HttpClient> http_client_;  // made by the one request
};

// The request body {"txid": ..., "appid": ..., "signdata": ...}, written by
// the JSON library so that no receipt text can add or change members.
std::string MakeTStoreRequestBody(const std::string& txid, const std::string& appid,
                                  const std::string& signdata);

struct TStoreVerdict {
  boost::system::error_code error;
  TStoreAdapter::ReceiptValidationResponse response;
};

// Judges one answer of the store against the request's txid, appid and
// product ids, logging as it goes.
TStoreVerdict CheckTStoreAnswer(const std::string& txid, const std::string& appid,
                                const std::vector<std::string>& product_ids,
                                http::TransportCode code, const http::Response& response);

}  // namespace tvx

#endif  // SRC_TSTORE_ADAPTER_H_
