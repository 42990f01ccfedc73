// Factories of the client protocol messages. Every response carries the uuid
// of the request it answers.
#ifndef FRAMEWORK_BILLING_MESSAGE_WRITER_H_
#define FRAMEWORK_BILLING_MESSAGE_WRITER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/biller.pb.h"
#include "framework/json.h"
#include "framework/uuid.h"

namespace tvx {

class BillingMessageWriter {
 public:
  using RequestPtr = std::shared_ptr<Biller::Request>;
  using ResponsePtr = std::shared_ptr<Biller::Response>;

  static RequestPtr CreateAuthenticationRequest(const Uuid& uuid,
                                                const std::string& biller_client_id,
                                                const std::string& biller_client_secret,
                                                const std::vector<std::string>& auth_keys);
  static RequestPtr CreateReceiptValidationRequest(const Uuid& uuid, const std::string& player_id,
                                                   const std::string& player_service_provider,
                                                   const std::string& receipt,
                                                   bool fill_decoded_receipt);

  static ResponsePtr CreateAuthenticationResponseSuccess(const Uuid& uuid);
  static ResponsePtr CreateAuthenticationResponse(
      const Uuid& uuid, Biller::Authentication_Response_Result result,
      const std::string& description);

  static ResponsePtr CreateReceiptValidationResponseSuccess(const Uuid& uuid);
  static ResponsePtr CreateReceiptValidationResponseSuccess(const Uuid& uuid,
                                                            const Json& decoded_receipt);
  // `result` is a ReceiptValidation_Response_Result or a result code of the
  // same numbering (1007 for a pending purchase).
  static ResponsePtr CreateReceiptValidationResponse(const Uuid& uuid, int result);

  static ResponsePtr CreateFailResponse(const Uuid& uuid, int64_t code,
                                        const std::string& description);
};

}  // namespace tvx

#endif  // FRAMEWORK_BILLING_MESSAGE_WRITER_H_
