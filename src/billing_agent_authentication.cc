// Client authentication: a session becomes authenticated when every store
// credential it hands over has been proven by an access token.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_service.h"
#include "src/google_play_adapter.h"
#include "src/one_store_adapter.h"

namespace tvx {
namespace {

using AuthResponse = Biller::Authentication_Response;
using Pending = std::shared_ptr<std::atomic<int32_t>>;

constexpr char kGooglePlayStoreName[] = "GooglePlay";
constexpr char kOneStoreStoreName[] = "OneStore";

void Answer(const std::shared_ptr<Request>& request, AuthResponse::Result result, int32_t code) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateAuthenticationResponse(
                                          request->request_uuid(), result, DescribeError(code)));
}

// The completion of one store check, bound to the request it answers.
AccessTokenCallback CompleteWith(const std::shared_ptr<Request>& request, const Pending& pending,
                                 const char* store_name) {
  return [request, pending, store_name](const std::string& access_token,
                                        const boost::system::error_code& ec) {
    BillingAgent::OnAuthenticationCompleted(request, pending, store_name, access_token, ec);
  };
}

}  // namespace

void BillingAgent::OnAuthenticationRequested(const std::shared_ptr<Request>& request) {
  LOG(INFO) << "BillingAgent::OnAuthenticationRequested";
  const auto& session = request->session;
  switch (session->state()) {
    case ClientSession::kAuthenticated:
      LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                   << "already authenticated: "
                   << "session[" << session << "]";
      Answer(request, AuthResponse::kFailAlreadyAuthenticated, kAlreadyAuthenticated);
      return;
    case ClientSession::kCreated:
    case ClientSession::kClosed:
      break;
    default:
      LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                   << "unexpected authentication request: "
                   << "session[" << session << "]";
      return;
  }

  const auto& authentication = request->request_message->authentication();
  const std::string& client_id = authentication.biller_client_id();
  if (the_bypass_mode) {
    LOG(WARNING) << "bypass authentication: " << client_id;
    SendResponse(request,
                 BillingMessageWriter::CreateAuthenticationResponseSuccess(request->request_uuid()));
    return;
  }

  LOG(INFO) << "begin to authenticate biller client: "
            << "biller client id(" << client_id << ")";
  if (!the_io_service) LOG(FATAL) << "Assert failed: the_io_service";
  // The accounts of an earlier, refused attempt were never proven; the flows
  // find the token by the session's account alone.
  session->ClearStoreCredentials();
  session->set_client_id(client_id);

  const int key_count = authentication.service_provider_auth_key_size();
  if (key_count == 0) {
    LOG(INFO) << "no external service provider authentication: "
              << "biller client id(" << client_id << ")";
    session->set_state(ClientSession::kAuthenticated);
    SendResponse(request,
                 BillingMessageWriter::CreateAuthenticationResponseSuccess(request->request_uuid()));
    return;
  }
  if (key_count >= 3) {
    LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                 << "invalid service provider authentication key count: "
                 << "session[" << session << "]";
    Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
           kWrongServiceProviderAuthKey);
    return;
  }

  auto pending = std::make_shared<std::atomic<int32_t>>(key_count);
  for (const std::string& key : authentication.service_provider_auth_key()) {
    Json parsed;
    if (!parsed.FromString(key) || !parsed.IsObject()) {
      LOG(ERROR) << "wrong service provider auth key";
      VLOG(2) << "wrong service provider auth key=" << key;
      *pending = -1;
      Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
             kWrongServiceProviderAuthKey);
      return;
    }
    switch (GetServiceProvider(parsed)) {
      case kBillingServiceProviderGooglePlay: {
        std::string private_key, client_email, refresh_token, gp_client_id, client_secret;
        if (ParseGooglePlayAuthKey(key, &private_key, &client_email)) {
          LOG(INFO) << "begin to authenticate google api service account: "
                    << "google paly client email(" << client_email << ")";
          session->set_gp_private_key(private_key);
          session->set_gp_client_id(client_email);
          GooglePlayAdapter::GetAccessToken(private_key, client_email,
                                            CompleteWith(request, pending, kGooglePlayStoreName));
        } else if (ParseGooglePlayAuthKey(key, &refresh_token, &gp_client_id, &client_secret)) {
          LOG(INFO) << "begin to authenticate google api server account: "
                    << "google paly client id(" << gp_client_id << ")";
          session->set_gp_client_id(gp_client_id);
          session->set_gp_client_secret(client_secret);
          session->set_gp_refresh_token(refresh_token);
          GooglePlayAdapter::GetAccessToken(gp_client_id, client_secret, refresh_token,
                                            CompleteWith(request, pending, kGooglePlayStoreName));
        } else {
          LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                       << "invalid google play auth key: "
                       << "session[" << session << "]";
          VLOG(2) << "invalid google play auth key=" << key;
          *pending = -1;
          Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
                 kWrongServiceProviderAuthKey);
          return;
        }
        break;
      }
      case kBillingServiceProviderOneStore: {
        std::string os_client_id, os_client_secret;
        if (ParseOneStoreAuthKey(key, &os_client_id, &os_client_secret)) {
          LOG(INFO) << "begin to authenticate OneStore server account: "
                    << "OneStore client id(" << os_client_id << ")";
          session->set_os_client_id(os_client_id);
          session->set_os_client_secret(os_client_secret);
          OneStoreAdapter::GetAccessToken(os_client_id, os_client_secret,
                                          FLAGS_biller_use_one_store_test_server,
                                          CompleteWith(request, pending, kOneStoreStoreName));
        } else {
          LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                       << "invalid OneStore auth key: "
                       << "session[" << session << "]";
          VLOG(2) << "invalid OneStore auth key=" << key;
          *pending = -1;
          Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
                 kWrongServiceProviderAuthKey);
          return;
        }
        break;
      }
      default:
        LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                     << "invalid service provider: "
                     << "session[" << session << "]";
        VLOG(2) << "invalid service provider auth key=" << key;
        *pending = -1;
        Answer(request, AuthResponse::kFailWrongServiceProvider, kWrongServiceProvider);
        return;
    }
  }
  // The store checks answer.
}

void BillingAgent::OnAuthenticationCompleted(const std::shared_ptr<Request>& request,
                                             const Pending& pending,
                                             const std::string& store_name,
                                             const std::string& /*access_token*/,
                                             const boost::system::error_code& ec) {
  if (*pending < 0) {
    LOG(WARNING) << "Other provider authentication has already failed.";
    return;
  }
  if (ec) {
    // Only the first failure answers: exchange makes the check and the
    // claim one step when two stores complete on different threads.
    if (pending->exchange(-1) < 0) {
      LOG(WARNING) << "Other provider authentication has already failed.";
      return;
    }
    const std::string text = store_name + ": " + DescribeError(ec);
    LOG(WARNING) << "failed to get " << store_name << " api access token: "
                 << "error(" << DescribeError(ec) << "), session(" << request->session << ")";
    if (ec == kWrongServiceProviderAuthKey) {
      SendResponse(request, BillingMessageWriter::CreateAuthenticationResponse(
                                request->request_uuid(),
                                AuthResponse::kFailWrongServiceProviderAuthKey, text));
    } else {
      SendResponse(request, BillingMessageWriter::CreateFailResponse(
                                request->request_uuid(), ToResultCode(ec), text));
    }
    return;
  }
  // Count down without ever moving a failed (-1) request back up.
  int32_t before = pending->load();
  while (before > 0 && !pending->compare_exchange_weak(before, before - 1)) {
  }
  if (before <= 0) {
    LOG(WARNING) << "Other provider authentication has already failed.";
    return;
  }
  if (before == 1) {
    request->session->set_state(ClientSession::kAuthenticated);
    LOG(INFO) << "Succeed to authenticate: "
              << "session(" << request->session << ")";
    SendResponse(request,
                 BillingMessageWriter::CreateAuthenticationResponseSuccess(request->request_uuid()));
  }
}

}  // namespace tvx
