#include "src/billing_error.h"

#include <map>

#include <glog/logging.h>

namespace tvx {
namespace {

const std::map<int32_t, std::string> kResultMessages = {
    {kSuccess, "success"},
    {kAlreadyAuthenticated, "already authenticated"},
    {kWrongId, "wrong id"},
    {kWrongAuthKey, "wrong authentication key"},
    {kWrongServiceProvider, "wrong service provider"},
    {kWrongServiceProviderAuthKey, "wrong service provider authentication key"},
    {kAlreadyProvisioned, "already provisioned"},
    {kWrongReceipt, "wrong receipt"},
    {kReceiptWrongServiceProvider, "wrong service provider"},
    {kNotAuthenticatedServiceProvider, "not authenticated service provider"},
    {kCancelledReceipt, "cancelled receipt"},
    {kAuthenticationRequired, "authentication required"},
    {kProductInformationNotFound, "not found product information"},
    {kPendingReceipt, "pending receipt"},
    {kWrongParameter, "wrong parameter"},
    {kDatabaseError, "database error"},
    {kProductMismatch, "product mismatch"},
    {kServiceProviderCommunicationError, "service provider communication error"},
    {kServiceProviderProtocolError, "service provider protocol error"},
};

const BillerErrorCategory the_biller_category;
const CommonErrorCategory the_common_category;

}  // namespace

const char* CommonErrorCategory::name() const noexcept { return "Talvex-Biller common"; }

std::string CommonErrorCategory::message(int code) const {
  // Codes come only from the program's own constants.
  if (code != kHttpRequestFailure) LOG(FATAL) << "Assert failed: false";
  return "http request failure";
}

const char* BillerErrorCategory::name() const noexcept { return "Talvex-Biller"; }

std::string BillerErrorCategory::message(int code) const {
  auto it = kResultMessages.find(code);
  if (it == kResultMessages.end()) LOG(FATAL) << "Assert failed: false";
  return it->second;
}

const BillerErrorCategory& GetBillerErrorCategory() { return the_biller_category; }
const CommonErrorCategory& GetCommonErrorCategory() { return the_common_category; }

boost::system::error_code MakeBillerError(int32_t code) {
  return boost::system::error_code(code, the_biller_category);
}

boost::system::error_code MakeCommonError(int32_t code) {
  return boost::system::error_code(code, the_common_category);
}

bool IsBillerError(const boost::system::error_code& error) {
  return &error.category() == &the_biller_category;
}

bool operator==(const boost::system::error_code& error, BillerErrorCode code) {
  return IsBillerError(error) && error.value() == code;
}

std::string DescribeError(int32_t code) {
  return std::string(the_biller_category.name()) + ": " + the_biller_category.message(code);
}

std::string DescribeError(const boost::system::error_code& error) {
  return std::string(error.category().name()) + ": " + error.category().message(error.value());
}

int32_t ToResultCode(const boost::system::error_code& error) {
  return IsBillerError(error) ? error.value() : kServiceProviderCommunicationError;
}

}  // namespace tvx
