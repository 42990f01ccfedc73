#include "src/store_notifications.h"

#include <charconv>
#include <mutex>

#include <glog/logging.h>

#include "framework/billing_store.h"
#include "framework/credential_crypto.h"
#include "framework/jwt.h"
#include "src/apple_server_api.h"
#include "src/log_text.h"
#include "src/revocations.h"

namespace tvx {
namespace {

constexpr char kJson[] = "application/json";

std::mutex token_mutex;
std::string the_notification_token;  // GUARDED_BY(token_mutex); "" refuses all

NotificationVerdict Refuse(int status, std::string why) {
  NotificationVerdict verdict;
  verdict.status = status;
  verdict.refusal = std::move(why);
  return verdict;
}

// Apple's revocationReason: 1 an issue within the app, 0 anything else.
std::string AppleReason(const Json& transaction, const std::string& type) {
  if (!transaction.HasAttribute("revocationReason", Json::kInteger)) return type;
  return transaction.GetInteger("revocationReason") == 1 ? "app_issue" : "other";
}

// Google's refundType of a voided purchase notification.
std::string GoogleRefundType(const Json& voided) {
  if (!voided.HasAttribute("refundType", Json::kInteger)) return "";
  switch (voided.GetInteger("refundType")) {
    case 1:
      return "full_refund";
    case 2:
      return "partial_refund";
    default:
      return std::to_string(voided.GetInteger("refundType"));
  }
}

// Pub/Sub writes standard base64; the JWS decoder reads its URL-safe twin.
bool DecodeStandardBase64(std::string text, std::string* bytes) {
  for (char& c : text) {
    if (c == '-' || c == '_') return false;
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return jwt::Base64UrlDecode(text, bytes);
}

void Answer(const std::shared_ptr<HttpSocket>& socket, int status, const std::string& error) {
  Json body = Json::Object();
  if (!error.empty()) body.SetString("error", error);
  socket->SendResponse(status, body.ToString(), kJson);
}

// Records the verdict's revocation, then answers its status; 500 when the
// database failed, so that the store sends the notification again.
void Conclude(const std::shared_ptr<HttpSocket>& socket, const char* endpoint,
              NotificationVerdict verdict) {
  if (verdict.status != 200) {
    LOG(WARNING) << endpoint << ": notification refused (" << verdict.status
                 << "): " << LogText(verdict.refusal);
    return Answer(socket, verdict.status, verdict.refusal);
  }
  if (!verdict.revocation) return Answer(socket, 200, "");
  RecordRevocation(*verdict.revocation, [socket](bool recorded) {
    Answer(socket, recorded ? 200 : 500, recorded ? "" : "the revocation could not be recorded");
  });
}

bool RefuseMethod(const std::shared_ptr<HttpSocket>& socket, const http::Request2& request) {
  if (request.method == "POST") return false;
  Answer(socket, 405, "only POST is served");
  return true;
}

}  // namespace

NotificationVerdict ReadAppStoreNotification(const std::string& body,
                                             const jws::SignedDataVerifier& verifier,
                                             const std::string& bundle_id) {
  Json outer;
  if (!outer.FromString(body) || !outer.HasAttribute("signedPayload", Json::kString)) {
    return Refuse(400, "no signedPayload");
  }
  const jws::Verified notification = verifier.Verify(outer.GetString("signedPayload"));
  if (!notification.ok) return Refuse(401, "signedPayload: " + notification.refusal);
  const Json& payload = notification.payload;
  const Json data = payload["data"];
  // A notification about another app is not ours, however well signed.
  if (data.HasAttribute("bundleId") && data.GetString("bundleId") != bundle_id) {
    return Refuse(401, "another bundle id");
  }
  const std::string type = payload.GetString("notificationType");
  if (type != "REFUND" && type != "REVOKE") return NotificationVerdict();

  if (!data.HasAttribute("signedTransactionInfo", Json::kString)) {
    return Refuse(400, "no signedTransactionInfo");
  }
  const jws::Verified transaction = verifier.Verify(data.GetString("signedTransactionInfo"));
  if (!transaction.ok) return Refuse(401, "signedTransactionInfo: " + transaction.refusal);
  const Json& info = transaction.payload;
  if (info.GetString("bundleId") != bundle_id) return Refuse(401, "another bundle id");
  if (!info.HasAttribute("transactionId", Json::kString) ||
      info.GetString("transactionId").empty()) {
    return Refuse(400, "no transactionId");
  }
  RevocationRow row;
  row.store = kAppleAppStoreName;
  row.purchase_id = info.GetString("transactionId");
  row.revoked_at_ms = info.HasAttribute("revocationDate", Json::kInteger)
                          ? info.GetInteger("revocationDate")
                          : payload.GetInteger("signedDate");
  row.reason = type == "REFUND" ? AppleReason(info, "refund") : "revoke";
  row.source = kSourceAppStoreNotification;
  NotificationVerdict verdict;
  verdict.revocation = std::move(row);
  return verdict;
}

NotificationVerdict ReadGooglePlayNotification(const std::string& body) {
  Json push;
  if (!push.FromString(body) || !push["message"].HasAttribute("data", Json::kString)) {
    return Refuse(400, "no message.data");
  }
  std::string decoded;
  Json notification;
  if (!DecodeStandardBase64(push["message"].GetString("data"), &decoded) ||
      !notification.FromString(decoded) || !notification.IsObject()) {
    return Refuse(400, "message.data is not a base64 JSON object");
  }
  if (!notification.HasAttribute("voidedPurchaseNotification")) return NotificationVerdict();
  const Json voided = notification["voidedPurchaseNotification"];
  if (!voided.HasAttribute("purchaseToken", Json::kString) ||
      voided.GetString("purchaseToken").empty()) {
    return Refuse(400, "no purchaseToken");
  }
  // eventTimeMillis is an int64 written as a string, as Google writes them.
  const std::string event_time = notification.GetString("eventTimeMillis");
  int64_t event_ms = 0;
  std::from_chars(event_time.data(), event_time.data() + event_time.size(), event_ms);
  RevocationRow row;
  row.store = kGooglePlayName;
  row.purchase_id = voided.GetString("purchaseToken");
  row.revoked_at_ms = event_ms;
  row.reason = GoogleRefundType(voided);
  row.source = kSourceGoogleNotification;
  NotificationVerdict verdict;
  verdict.revocation = std::move(row);
  return verdict;
}

bool SetGooglePlayNotificationToken(const Json& argument, std::string* error) {
  if (!argument.IsNull() && (!argument.IsString() || argument.GetString().empty())) {
    *error = "google_play_notification_token: must be a non-empty string";
    return false;
  }
  std::lock_guard<std::mutex> lock(token_mutex);
  the_notification_token = argument.IsNull() ? "" : argument.GetString();
  return true;
}

void OnHttpAppStoreNotification(const std::shared_ptr<HttpSocket>& socket,
                                const std::shared_ptr<http::Request2>& request) {
  if (RefuseMethod(socket, *request)) return;
  const auto config = GetAppleServerApiConfig();
  if (!config) {
    LOG(WARNING) << kHttpAppStoreNotificationPath
                 << ": install argument \"apple_app_store_server_api\" is not given";
    return Answer(socket, 503, "App Store notifications are not configured");
  }
  Conclude(socket, kHttpAppStoreNotificationPath,
           ReadAppStoreNotification(request->body, *config->verifier, config->bundle_id));
}

void OnHttpGooglePlayNotification(const std::shared_ptr<HttpSocket>& socket,
                                  const std::shared_ptr<http::Request2>& request) {
  if (RefuseMethod(socket, *request)) return;
  std::string token;
  std::string expected;
  {
    std::lock_guard<std::mutex> lock(token_mutex);
    expected = the_notification_token;
  }
  // The token is a secret: it is compared in constant time and never logged.
  if (expected.empty() || !QueryParameter(request->target, "token", &token) ||
      !crypto::ConstantTimeEquals(token, expected)) {
    LOG(WARNING) << kHttpGooglePlayNotificationPath << ": wrong token";
    return Answer(socket, 401, "wrong token");
  }
  Conclude(socket, kHttpGooglePlayNotificationPath, ReadGooglePlayNotification(request->body));
}

}  // namespace tvx
