// The CALL statements of the receipt inserts. Pure functions of their
// arguments and of the escaping of the connection they will run on, so that
// the exact text can be checked without a server.
//
// A text is written between single quotes after escaping; a number in
// decimal; a flag as TRUE or FALSE; a text list as its elements joined by
// ", " inside one pair of quotes.
#ifndef SRC_DATABASE_STATEMENTS_H_
#define SRC_DATABASE_STATEMENTS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tvx {

// Escapes a text for use between single quotes.
using SqlEscaper = std::function<std::string(const std::string&)>;

// Builds "CALL <procedure>(arg, arg, ...)".
class CallStatement {
 public:
  CallStatement(const std::string& procedure, SqlEscaper escape);

  CallStatement& Text(const std::string& value);
  CallStatement& Number(int64_t value);
  // A number between quotes, for parameters the procedures declare as text
  // or convert themselves.
  CallStatement& QuotedNumber(int64_t value);
  CallStatement& Flag(bool value);
  CallStatement& TextList(const std::vector<std::string>& values);

  // The statement; `trailing_space` puts one space after the ")".
  std::string Finish(bool trailing_space) const;

 private:
  void Separate();

  SqlEscaper escape_;
  std::string text_;
  bool first_ = true;
};

// `receipt_data` without its trailing "=" characters.
std::string StripTrailingPadding(const std::string& receipt_data);

std::string ComposeGooglePlayStatement(
    const SqlEscaper& escape, const std::string& biller_client_id,
    const std::string& account_id, const std::string& account_service_provider,
    const std::string& package_name, const std::string& product_id,
    const std::string& purchase_token, const std::string& kind,
    const std::string& purchase_time_millis, const std::string& purchase_time_zone,
    int32_t purchase_state, int32_t consumption_state, const std::string& order_id);

std::string ComposeGooglePlay2Statement(
    const SqlEscaper& escape, const std::string& biller_client_id,
    const std::string& account_id, const std::string& account_service_provider,
    const std::string& package_name, const std::string& product_id,
    const std::string& purchase_token, const std::string& kind,
    const std::string& purchase_time_millis, const std::string& purchase_time_zone,
    int32_t purchase_state, int32_t consumption_state, const std::string& order_id,
    int32_t acknowledgement_state, int32_t purchase_type, const std::string& developer_payload);

std::string ComposeAppleAppStoreStatement(
    const SqlEscaper& escape, const std::string& biller_client_id,
    const std::string& account_id, const std::string& account_service_provider,
    bool is_sandbox, const std::string& receipt_data, const std::string& product_id,
    int64_t quantity, const std::string& transaction_id,
    const std::string& original_transaction_id, const std::string& purchase_date,
    const std::string& purchase_date_time_zone, const std::string& original_purchase_date,
    const std::string& original_purchase_date_time_zone);

std::string ComposeTStoreStatement(const SqlEscaper& escape,
                                   const std::string& biller_client_id,
                                   const std::string& account_id,
                                   const std::string& account_service_provider, bool is_test,
                                   const std::string& txid, const std::string& appid,
                                   const std::string& signdata,
                                   const std::vector<std::string>& requested_product_ids,
                                   const std::vector<std::string>& verified_product_ids);

std::string ComposeP4StoreStatement(const SqlEscaper& escape,
                                    const std::string& biller_client_id,
                                    const std::string& account_id,
                                    const std::string& account_service_provider,
                                    int64_t service_label, const std::string& entitlement_id,
                                    const std::string& auth_code, const std::string& environment,
                                    int64_t use_count, int64_t use_limit,
                                    int64_t requested_use_count);

std::string ComposeOneStoreStatement(const SqlEscaper& escape,
                                     const std::string& biller_client_id,
                                     const std::string& account_id,
                                     const std::string& account_service_provider, bool is_test,
                                     const std::string& purchase_id,
                                     const std::string& package_name,
                                     const std::string& product_id, int32_t consumption_state,
                                     int32_t purchase_state, int64_t purchase_time,
                                     const std::string& developer_payload);

}  // namespace tvx

#endif  // SRC_DATABASE_STATEMENTS_H_
