// The JSON text of a response sent to an HTTP client.
#ifndef SRC_HTTP_RENDERING_H_
#define SRC_HTTP_RENDERING_H_

#include <string>

#include "framework/biller.pb.h"
#include "framework/http_server.h"
#include "src/session.h"

namespace tvx {

// Carries the session id beside the body, so that a load balancer can keep a
// session on the biller that made it without reading bodies.
inline constexpr char kHttpSessionHeader[] = "X-Biller-Session";

// Writes the body in its fixed shape:
//   authentication:     {"result": N, "description": "...", "sessionid": "..."}
//                       ("sessionid" only when there is a session)
//   receipt validation: {"result": N}
//   failure:            {"result": CODE, "description": "..."}
// Texts are JSON-escaped. False for any other response type.
bool RenderHttpResponseBody(const Biller::Response& response, const ClientSession* session,
                            std::string* body);

// The header fields sent with that body: kHttpSessionHeader on an
// authentication answer that names a session, none otherwise.
http::Fields RenderHttpResponseFields(const Biller::Response& response,
                                      const ClientSession* session);

}  // namespace tvx

#endif  // SRC_HTTP_RENDERING_H_
