// The JSON text of a response sent to an HTTP client.
#ifndef SRC_HTTP_RENDERING_H_
#define SRC_HTTP_RENDERING_H_

#include <string>

#include "framework/biller.pb.h"
#include "src/session.h"

namespace tvx {

// Writes the body in its fixed shape:
//   authentication:     {"result": N, "description": "...", "sessionid": "..."}
//                       ("sessionid" only when there is a session)
//   receipt validation: {"result": N}
//   failure:            {"result": CODE, "description": "..."}
// Texts are JSON-escaped. False for any other response type.
bool RenderHttpResponseBody(const Biller::Response& response, const ClientSession* session,
                            std::string* body);

}  // namespace tvx

#endif  // SRC_HTTP_RENDERING_H_
