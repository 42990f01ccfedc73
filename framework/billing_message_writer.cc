#include "framework/billing_message_writer.h"

namespace tvx {
namespace {

BillingMessageWriter::ResponsePtr NewResponse(const Uuid& uuid, Biller::MessageType type) {
  auto response = std::make_shared<Biller::Response>();
  response->set_request_uuid(util::ToBytes(uuid));
  response->set_type(type);
  return response;
}

}  // namespace

BillingMessageWriter::RequestPtr BillingMessageWriter::CreateAuthenticationRequest(
    const Uuid& uuid, const std::string& biller_client_id,
    const std::string& biller_client_secret, const std::vector<std::string>& auth_keys) {
  auto request = std::make_shared<Biller::Request>();
  request->set_request_uuid(util::ToBytes(uuid));
  request->set_type(Biller::kAuthentication);
  auto* auth = request->mutable_authentication();
  auth->set_biller_client_id(biller_client_id);
  auth->set_biller_client_secret(biller_client_secret);
  for (const auto& key : auth_keys) auth->add_service_provider_auth_key(key);
  return request;
}

BillingMessageWriter::RequestPtr BillingMessageWriter::CreateReceiptValidationRequest(
    const Uuid& uuid, const std::string& player_id, const std::string& player_service_provider,
    const std::string& receipt, bool fill_decoded_receipt) {
  auto request = std::make_shared<Biller::Request>();
  request->set_request_uuid(util::ToBytes(uuid));
  request->set_type(Biller::kReceiptValidation);
  auto* validation = request->mutable_receipt_validation();
  validation->set_player_id(player_id);
  validation->set_player_service_provider(player_service_provider);
  validation->set_receipt(receipt);
  validation->set_fill_decoded_receipt(fill_decoded_receipt);
  return request;
}

BillingMessageWriter::ResponsePtr BillingMessageWriter::CreateAuthenticationResponseSuccess(
    const Uuid& uuid) {
  auto response = NewResponse(uuid, Biller::kAuthentication);
  response->mutable_authentication()->set_result(Biller::Authentication_Response::kSuccess);
  return response;
}

BillingMessageWriter::ResponsePtr BillingMessageWriter::CreateAuthenticationResponse(
    const Uuid& uuid, Biller::Authentication_Response_Result result,
    const std::string& description) {
  auto response = NewResponse(uuid, Biller::kAuthentication);
  response->mutable_authentication()->set_result(result);
  response->mutable_authentication()->set_description(description);
  return response;
}

BillingMessageWriter::ResponsePtr BillingMessageWriter::CreateReceiptValidationResponseSuccess(
    const Uuid& uuid) {
  auto response = NewResponse(uuid, Biller::kReceiptValidation);
  response->mutable_receipt_validation()->set_result(
      Biller::ReceiptValidation_Response::kSuccess);
  return response;
}

BillingMessageWriter::ResponsePtr BillingMessageWriter::CreateReceiptValidationResponseSuccess(
    const Uuid& uuid, const Json& decoded_receipt) {
  auto response = CreateReceiptValidationResponseSuccess(uuid);
  response->mutable_receipt_validation()->set_decoded_receipt(decoded_receipt.ToString(false));
  return response;
}

BillingMessageWriter::ResponsePtr BillingMessageWriter::CreateReceiptValidationResponse(
    const Uuid& uuid, int result) {
  auto response = NewResponse(uuid, Biller::kReceiptValidation);
  // Results outside the enum would be dropped by proto2 on the wire; every
  // code the biller passes is one of its values.
  if (Biller::ReceiptValidation_Response_Result_IsValid(result)) {
    response->mutable_receipt_validation()->set_result(
        static_cast<Biller::ReceiptValidation_Response_Result>(result));
  }
  return response;
}

BillingMessageWriter::ResponsePtr BillingMessageWriter::CreateFailResponse(
    const Uuid& uuid, int64_t code, const std::string& description) {
  auto response = NewResponse(uuid, Biller::kFailure);
  response->mutable_fail()->set_code(code);
  response->mutable_fail()->set_description(description);
  return response;
}

}  // namespace tvx
