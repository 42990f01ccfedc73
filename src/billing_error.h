// Result codes and the two error categories. One numbering serves the
// answers sent to clients, the codes adapters hand to flows, and the outcomes
// counted in the statistics.
#ifndef SRC_BILLING_ERROR_H_
#define SRC_BILLING_ERROR_H_

#include <cstdint>
#include <string>

#include <boost/system/error_code.hpp>

namespace tvx {

enum BillerErrorCode : int32_t {
  kSuccess = 0,
  kAlreadyAuthenticated = 2,
  kWrongId = 3,
  kWrongAuthKey = 4,
  kWrongServiceProvider = 5,
  kWrongServiceProviderAuthKey = 6,
  kAlreadyProvisioned = 1000,
  kWrongReceipt = 1001,
  kReceiptWrongServiceProvider = 1002,
  kNotAuthenticatedServiceProvider = 1003,
  kCancelledReceipt = 1004,
  kAuthenticationRequired = 1005,
  kProductInformationNotFound = 1006,
  kPendingReceipt = 1007,
  kWrongParameter = 2000,
  kDatabaseError = 2001,
  kProductMismatch = 2002,
  kServiceProviderCommunicationError = 2003,
  kServiceProviderProtocolError = 2004,
};

// Transport failures of store HTTP requests: the one retryable failure.
enum CommonErrorCode : int32_t {
  kHttpRequestFailure = 1,
};

class CommonErrorCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override;
  std::string message(int code) const override;
};

class BillerErrorCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override;
  std::string message(int code) const override;
};

const BillerErrorCategory& GetBillerErrorCategory();
const CommonErrorCategory& GetCommonErrorCategory();

boost::system::error_code MakeBillerError(int32_t code);
boost::system::error_code MakeCommonError(int32_t code);

bool IsBillerError(const boost::system::error_code& error);

// True when `error` is the Biller code `code`.
bool operator==(const boost::system::error_code& error, BillerErrorCode code);
inline bool operator!=(const boost::system::error_code& error, BillerErrorCode code) {
  return !(error == code);
}

// "Talvex-Biller: <message of code>".
std::string DescribeError(int32_t code);
// "<category name>: <category message>" of any error code.
std::string DescribeError(const boost::system::error_code& error);

// The result code reported for a failed store call: the error's own value for
// Biller errors, 2003 for every other category.
int32_t ToResultCode(const boost::system::error_code& error);

}  // namespace tvx

#endif  // SRC_BILLING_ERROR_H_
