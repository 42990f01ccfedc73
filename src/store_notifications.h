// The stores' server-to-server notifications on the HTTP port:
//   POST /v1/notifications/appstore          App Store Server Notifications V2
//   POST /v1/notifications/googleplay?token=T Google Play real-time developer
//                                            notifications, as a Pub/Sub push
// A refund, revocation or void among them is recorded as a revocation. A
// store that gets no 2xx sends the notification again, so a database
// failure is answered 500.
#ifndef SRC_STORE_NOTIFICATIONS_H_
#define SRC_STORE_NOTIFICATIONS_H_

#include <memory>
#include <optional>
#include <string>

#include "framework/http_server.h"
#include "framework/json.h"
#include "framework/jws.h"
#include "src/database.h"

namespace tvx {

inline constexpr char kHttpAppStoreNotificationPath[] = "/v1/notifications/appstore";
inline constexpr char kHttpGooglePlayNotificationPath[] = "/v1/notifications/googleplay";

// What one notification asks for: the HTTP status to answer (200, 400 or
// 401), the revocation to record first when there is one, and for a
// refusal a reason safe to log.
struct NotificationVerdict {
  int status = 200;
  std::optional<RevocationRow> revocation;
  std::string refusal;
};

// {"signedPayload": JWS}: the outer JWS and, for REFUND and REVOKE, the
// signed transaction inside are verified with `verifier`, and both must
// name `bundle_id`.
NotificationVerdict ReadAppStoreNotification(const std::string& body,
                                             const jws::SignedDataVerifier& verifier,
                                             const std::string& bundle_id);
// {"message": {"data": base64 of a DeveloperNotification}}.
NotificationVerdict ReadGooglePlayNotification(const std::string& body);

// The install argument "google_play_notification_token" (a non-empty
// string; null: the endpoint refuses every request). False, with `error`,
// on anything else.
bool SetGooglePlayNotificationToken(const Json& argument, std::string* error);

void OnHttpAppStoreNotification(const std::shared_ptr<HttpSocket>& socket,
                                const std::shared_ptr<http::Request2>& request);
void OnHttpGooglePlayNotification(const std::shared_ptr<HttpSocket>& socket,
                                  const std::shared_ptr<http::Request2>& request);

}  // namespace tvx

#endif  // SRC_STORE_NOTIFICATIONS_H_
