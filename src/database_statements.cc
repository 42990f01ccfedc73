#include "src/database_statements.h"

namespace tvx {

CallStatement::CallStatement(const std::string& procedure, SqlEscaper escape)
    : escape_(std::move(escape)), text_("CALL " + procedure + "(") {}

void CallStatement::Separate() {
  if (!first_) text_ += ", ";
  first_ = false;
}

CallStatement& CallStatement::Text(const std::string& value) {
  Separate();
  text_ += '\'';
  text_ += escape_(value);
  text_ += '\'';
  return *this;
}

CallStatement& CallStatement::Number(int64_t value) {
  Separate();
  text_ += std::to_string(value);
  return *this;
}

CallStatement& CallStatement::QuotedNumber(int64_t value) {
  Separate();
  text_ += '\'' + std::to_string(value) + '\'';
  return *this;
}

CallStatement& CallStatement::Flag(bool value) {
  Separate();
  text_ += value ? "TRUE" : "FALSE";
  return *this;
}

CallStatement& CallStatement::TextList(const std::vector<std::string>& values) {
  std::string joined;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) joined += ", ";
    joined += values[i];
  }
  // Escaping the joined text is escaping each element: ", " needs none.
  return Text(joined);
}

std::string CallStatement::Finish(bool trailing_space) const {
  return text_ + (trailing_space ? ") " : ")");
}

std::string StripTrailingPadding(const std::string& receipt_data) {
  const auto end = receipt_data.find_last_not_of('=');
  return end == std::string::npos ? std::string() : receipt_data.substr(0, end + 1);
}

std::string ComposeGooglePlayStatement(
    const SqlEscaper& escape, const std::string& biller_client_id,
    const std::string& account_id, const std::string& account_service_provider,
    const std::string& package_name, const std::string& product_id,
    const std::string& purchase_token, const std::string& kind,
    const std::string& purchase_time_millis, const std::string& purchase_time_zone,
    int32_t purchase_state, int32_t consumption_state, const std::string& order_id) {
  return CallStatement("sp_insert_receipt_google_play", escape)
      .Text(biller_client_id)
      .Text(account_id)
      .Text(account_service_provider)
      .Text(package_name)
      .Text(product_id)
      .Text(purchase_token)
      .Text(kind)
      .Text(purchase_time_millis)
      .Text(purchase_time_zone)
      .Number(purchase_state)
      .Number(consumption_state)
      .Text(order_id)
      .Finish(true);
}

std::string ComposeGooglePlay2Statement(
    const SqlEscaper& escape, const std::string& biller_client_id,
    const std::string& account_id, const std::string& account_service_provider,
    const std::string& package_name, const std::string& product_id,
    const std::string& purchase_token, const std::string& kind,
    const std::string& purchase_time_millis, const std::string& purchase_time_zone,
    int32_t purchase_state, int32_t consumption_state, const std::string& order_id,
    int32_t acknowledgement_state, int32_t purchase_type, const std::string& developer_payload) {
  return CallStatement("sp_insert_receipt_google_play2", escape)
      .Text(biller_client_id)
      .Text(account_id)
      .Text(account_service_provider)
      .Text(package_name)
      .Text(product_id)
      .Text(purchase_token)
      .Text(kind)
      .Text(purchase_time_millis)
      .Text(purchase_time_zone)
      .Number(purchase_state)
      .Number(consumption_state)
      .Text(order_id)
      .Number(acknowledgement_state)
      .Number(purchase_type)
      .Text(developer_payload)
      .Finish(true);
}

std::string ComposeAppleAppStoreStatement(
    const SqlEscaper& escape, const std::string& biller_client_id,
    const std::string& account_id, const std::string& account_service_provider,
    bool is_sandbox, const std::string& receipt_data, const std::string& product_id,
    int64_t quantity, const std::string& transaction_id,
    const std::string& original_transaction_id, const std::string& purchase_date,
    const std::string& purchase_date_time_zone, const std::string& original_purchase_date,
    const std::string& original_purchase_date_time_zone) {
  return CallStatement("sp_insert_receipt_apple_appstore", escape)
      .Text(biller_client_id)
      .Text(account_id)
      .Text(account_service_provider)
      .Flag(is_sandbox)
      .Text(StripTrailingPadding(receipt_data))
      .Text(product_id)
      .Number(quantity)
      .Text(transaction_id)
      .Text(original_transaction_id)
      .Text(purchase_date)
      .Text(purchase_date_time_zone)
      .Text(original_purchase_date)
      .Text(original_purchase_date_time_zone)
      .Finish(false);
}

std::string ComposeTStoreStatement(const SqlEscaper& escape,
                                   const std::string& biller_client_id,
                                   const std::string& account_id,
                                   const std::string& account_service_provider, bool is_test,
                                   const std::string& txid, const std::string& appid,
                                   const std::string& signdata,
                                   const std::vector<std::string>& requested_product_ids,
                                   const std::vector<std::string>& verified_product_ids) {
  return CallStatement("sp_insert_receipt_tstore", escape)
      .Text(biller_client_id)
      .Text(account_id)
      .Text(account_service_provider)
      .Flag(is_test)
      .Text(txid)
      .Text(appid)
      .Text(signdata)
      .TextList(requested_product_ids)
      .TextList(verified_product_ids)
      .Finish(false);
}

std::string ComposeP4StoreStatement(const SqlEscaper& escape,
                                    const std::string& biller_client_id,
                                    const std::string& account_id,
                                    const std::string& account_service_provider,
                                    int64_t service_label, const std::string& entitlement_id,
                                    const std::string& auth_code, const std::string& environment,
                                    int64_t use_count, int64_t use_limit,
                                    int64_t requested_use_count) {
  return CallStatement("sp_insert_receipt_p4store", escape)
      .Text(biller_client_id)
      .Text(account_id)
      .Text(account_service_provider)
      .QuotedNumber(service_label)
      .Text(entitlement_id)
      .Text(auth_code)
      .Text(environment)
      .QuotedNumber(use_count)
      .QuotedNumber(use_limit)
      .QuotedNumber(requested_use_count)
      .Finish(false);
}

std::string ComposeOneStoreStatement(const SqlEscaper& escape,
                                     const std::string& biller_client_id,
                                     const std::string& account_id,
                                     const std::string& account_service_provider, bool is_test,
                                     const std::string& purchase_id,
                                     const std::string& package_name,
                                     const std::string& product_id, int32_t consumption_state,
                                     int32_t purchase_state, int64_t purchase_time,
                                     const std::string& developer_payload) {
  return CallStatement("sp_insert_receipt_one_store", escape)
      .Text(biller_client_id)
      .Text(account_id)
      .Text(account_service_provider)
      .Flag(is_test)
      .Text(purchase_id)
      .Text(package_name)
      .Text(product_id)
      .Number(consumption_state)
      .Number(purchase_state)
      .QuotedNumber(purchase_time)
      .Text(developer_payload)
      .Finish(true);
}

}  // namespace tvx
