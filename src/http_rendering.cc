#include "src/http_rendering.h"

#include "framework/json.h"
#include "framework/uuid.h"

namespace tvx {
namespace {

// A JSON string literal: client-supplied text cannot break the answer's shape.
std::string Quote(const std::string& text) { return Json(text).ToString(); }

}  // namespace

bool RenderHttpResponseBody(const Biller::Response& response, const ClientSession* session,
                            std::string* body) {
  switch (response.type()) {
    case Biller::kAuthentication:
      *body = "{\"result\": " + std::to_string(response.authentication().result()) +
              ", \"description\": " + Quote(response.authentication().description());
      if (session) *body += ", \"sessionid\": " + Quote(util::ToString(session->id()));
      *body += "}";
      return true;
    case Biller::kReceiptValidation:
      *body = "{\"result\": " + std::to_string(response.receipt_validation().result()) + "}";
      return true;
    case Biller::kFailure:
      *body = "{\"result\": " + std::to_string(response.fail().code()) +
              ", \"description\": " + Quote(response.fail().description()) + "}";
      return true;
  }
  return false;
}

http::Fields RenderHttpResponseFields(const Biller::Response& response,
                                      const ClientSession* session) {
  if (response.type() != Biller::kAuthentication || !session) return {};
  return {{kHttpSessionHeader, util::ToString(session->id())}};
}

}  // namespace tvx
