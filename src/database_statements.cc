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

namespace {

// Arguments 1 to 3 of every procedure.
CallStatement Call(const char* procedure, const SqlEscaper& escape, const ReceiptOwner& owner) {
  CallStatement call(procedure, escape);
  call.Text(owner.biller_client_id).Text(owner.account_id).Text(owner.account_service_provider);
  return call;
}

// The fields both Google Play procedures take.
CallStatement GooglePlayCall(const char* procedure, const SqlEscaper& escape,
                             const GooglePlayReceiptRow& row) {
  CallStatement call = Call(procedure, escape, row.owner);
  call.Text(row.package_name)
      .Text(row.product_id)
      .Text(row.purchase_token)
      .Text(row.kind)
      .Text(row.purchase_time_millis)
      .Text(row.purchase_time_zone)
      .Number(row.purchase_state)
      .Number(row.consumption_state)
      .Text(row.order_id);
  return call;
}

}  // namespace

std::string ComposeGooglePlayStatement(const SqlEscaper& escape, const GooglePlayReceiptRow& row) {
  return GooglePlayCall("sp_insert_receipt_google_play", escape, row).Finish(true);
}

std::string ComposeGooglePlay2Statement(const SqlEscaper& escape,
                                        const GooglePlayReceiptRow& row) {
  return GooglePlayCall("sp_insert_receipt_google_play2", escape, row)
      .Number(row.acknowledgement_state)
      .Number(row.purchase_type)
      .Text(row.developer_payload)
      .Finish(true);
}

std::string ComposeAppleAppStoreStatement(const SqlEscaper& escape,
                                          const AppleAppStoreReceiptRow& row) {
  return Call("sp_insert_receipt_apple_appstore", escape, row.owner)
      .Flag(row.is_sandbox)
      .Text(StripTrailingPadding(row.receipt_data))
      .Text(row.product_id)
      .Number(row.quantity)
      .Text(row.transaction_id)
      .Text(row.original_transaction_id)
      .Text(row.purchase_date)
      .Text(row.purchase_date_time_zone)
      .Text(row.original_purchase_date)
      .Text(row.original_purchase_date_time_zone)
      .Finish(false);
}

std::string ComposeTStoreStatement(const SqlEscaper& escape, const TStoreReceiptRow& row) {
  return Call("sp_insert_receipt_tstore", escape, row.owner)
      .Flag(row.is_test)
      .Text(row.txid)
      .Text(row.appid)
      .Text(row.signdata)
      .TextList(row.requested_product_ids)
      .TextList(row.verified_product_ids)
      .Finish(false);
}

std::string ComposeP4StoreStatement(const SqlEscaper& escape, const P4StoreReceiptRow& row) {
  return Call("sp_insert_receipt_p4store", escape, row.owner)
      .QuotedNumber(row.service_label)
      .Text(row.entitlement_id)
      .Text(row.auth_code)
      .Text(row.environment)
      .QuotedNumber(row.use_count)
      .QuotedNumber(row.use_limit)
      .QuotedNumber(row.requested_use_count)
      .Finish(false);
}

std::string ComposeOneStoreStatement(const SqlEscaper& escape, const OneStoreReceiptRow& row) {
  return Call("sp_insert_receipt_one_store", escape, row.owner)
      .Flag(row.is_test)
      .Text(row.purchase_id)
      .Text(row.package_name)
      .Text(row.product_id)
      .Number(row.consumption_state)
      .Number(row.purchase_state)
      .QuotedNumber(row.purchase_time)
      .Text(row.developer_payload)
      .Finish(true);
}

std::string ComposeRevocationStatement(const SqlEscaper& escape, const RevocationRow& row) {
  return CallStatement("sp_insert_revocation", escape)
      .Text(row.store)
      .Text(row.purchase_id)
      .Number(row.revoked_at_ms)
      .Text(row.reason)
      .Text(row.source)
      .Finish(false);
}

std::string ComposeRevocationListStatement(uint64_t since, int limit) {
  return "SELECT seq, store, purchase_id, revoked_at_ms, reason, source, biller_client_id, "
         "player_id, recorded_at_ms FROM tb_revocation WHERE seq > " +
         std::to_string(since) + " ORDER BY seq LIMIT " + std::to_string(limit);
}

}  // namespace tvx
