// Client authentication: a session becomes authenticated when every store
// credential it hands over has been proven by an access token. The session
// then keeps the names of the token-cache entries that proved them, never
// the credentials themselves.
#include <gflags/gflags.h>
#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/billing_store.h"
#include "framework/credential_crypto.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_service.h"
#include "src/google_play_adapter.h"
#include "src/log_text.h"
#include "src/one_store_adapter.h"

namespace tvx {

// One authentication with store keys. `pending` counts the store checks still
// out and is -1 once the request has been answered with a failure; the check
// that brings it from 1 to 0 answers success. The keys are written before the
// checks start and read by that last check.
struct AuthenticationAttempt {
  explicit AuthenticationAttempt(int32_t checks) : pending(checks) {}
  std::atomic<int32_t> pending;
  AccessTokenKey gp_token_key;
  AccessTokenKey os_token_key;
};

namespace {

using AuthResponse = Biller::Authentication_Response;
using Attempt = std::shared_ptr<AuthenticationAttempt>;

constexpr char kGooglePlayStoreName[] = "GooglePlay";
constexpr char kOneStoreStoreName[] = "OneStore";

// Credentials beyond these sizes are refused before any store is asked: the
// texts are kept while a check runs, and signing with a huge key is slow.
constexpr size_t kMaxAuthKeyBytes = 64 * 1024;
constexpr int kMaxRsaKeyBits = 4096;

void Answer(const std::shared_ptr<Request>& request, AuthResponse::Result result,
            const std::string& description) {
  BillingAgent::SendResponse(request, BillingMessageWriter::CreateAuthenticationResponse(
                                          request->request_uuid(), result, description));
}

void Answer(const std::shared_ptr<Request>& request, AuthResponse::Result result, int32_t code) {
  Answer(request, result, DescribeError(code));
}

// Marks the session authenticated with the accounts the checks proved and
// makes an HTTP session reachable by its id.
void Authenticated(const std::shared_ptr<Request>& request, const AuthenticationAttempt* attempt) {
  const auto& session = request->session;
  if (attempt) {
    session->set_gp_token_key(attempt->gp_token_key);
    session->set_os_token_key(attempt->os_token_key);
  }
  session->set_state(ClientSession::kAuthenticated);
  if (request->http_client) AddHttpSession(session);
}

void AnswerSuccess(const std::shared_ptr<Request>& request) {
  BillingAgent::SendResponse(
      request, BillingMessageWriter::CreateAuthenticationResponseSuccess(request->request_uuid()));
}

// One store key, read and checked before any store is asked.
struct StoreKey {
  enum Kind { kGoogleServiceAccount, kGoogleOAuthClient, kOneStore } kind;
  GoogleServiceAccount service_account;
  GoogleOAuthClient oauth_client;
  OneStoreClient one_store;
};

// Reads every key; false when one is refused, the request then answered.
bool ReadStoreKeys(const std::shared_ptr<Request>& request, std::vector<StoreKey>* keys) {
  const auto& session = request->session;
  for (const std::string& key : request->request_message->authentication().service_provider_auth_key()) {
    Json parsed;
    if (key.size() > kMaxAuthKeyBytes) {
      LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                   << "service provider auth key too long: "
                   << "size[" << key.size() << "], session[" << session << "]";
      Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
             kWrongServiceProviderAuthKey);
      return false;
    }
    if (!parsed.FromString(key) || !parsed.IsObject()) {
      LOG(ERROR) << "wrong service provider auth key";
      VLOG(2) << "wrong service provider auth key=" << kRedacted;
      Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
             kWrongServiceProviderAuthKey);
      return false;
    }
    StoreKey store_key{};
    switch (BillingAgent::GetServiceProvider(parsed)) {
      case kBillingServiceProviderGooglePlay: {
        GoogleServiceAccount& account = store_key.service_account;
        GoogleOAuthClient& client = store_key.oauth_client;
        if (ParseGooglePlayAuthKey(key, &account.private_key, &account.client_email)) {
          store_key.kind = StoreKey::kGoogleServiceAccount;
          const int bits = crypto::RsaPrivateKeyBits(account.private_key);
          if (bits == 0 || bits > kMaxRsaKeyBits) {
            LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                         << "unusable google play private key: "
                         << "bits[" << bits << "], session[" << session << "]";
            Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
                   std::string(kGooglePlayStoreName) + ": " +
                       DescribeError(kWrongServiceProviderAuthKey));
            return false;
          }
        } else if (ParseGooglePlayAuthKey(key, &client.refresh_token, &client.client_id,
                                          &client.client_secret)) {
          store_key.kind = StoreKey::kGoogleOAuthClient;
        } else {
          LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                       << "invalid google play auth key: "
                       << "session[" << session << "]";
          VLOG(2) << "invalid google play auth key=" << kRedacted;
          Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
                 kWrongServiceProviderAuthKey);
          return false;
        }
        break;
      }
      case kBillingServiceProviderOneStore:
        store_key.kind = StoreKey::kOneStore;
        if (!ParseOneStoreAuthKey(key, &store_key.one_store.client_id,
                                  &store_key.one_store.client_secret)) {
          LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                       << "invalid OneStore auth key: "
                       << "session[" << session << "]";
          VLOG(2) << "invalid OneStore auth key=" << kRedacted;
          Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey,
                 kWrongServiceProviderAuthKey);
          return false;
        }
        break;
      default:
        LOG(WARNING) << "BillingAgent::OnAuthenticationRequested: "
                     << "invalid service provider: "
                     << "session[" << session << "]";
        VLOG(2) << "invalid service provider auth key=" << kRedacted;
        Answer(request, AuthResponse::kFailWrongServiceProvider, kWrongServiceProvider);
        return false;
    }
    keys->push_back(std::move(store_key));
  }
  return true;
}

// The completion of one store check, bound to the request it answers.
AccessTokenCallback CompleteWith(const std::shared_ptr<Request>& request, const Attempt& attempt,
                                 const char* store_name) {
  return [request, attempt, store_name](const std::string& access_token,
                                        const boost::system::error_code& ec) {
    BillingAgent::OnAuthenticationCompleted(request, attempt, store_name, access_token, ec);
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
    LOG(WARNING) << "bypass authentication: " << LogText(client_id);
    AnswerSuccess(request);
    return;
  }

  LOG(INFO) << "begin to authenticate biller client: "
            << "biller client id(" << LogText(client_id) << ")";
  if (!the_io_service) LOG(FATAL) << "Assert failed: the_io_service";
  // The accounts of an earlier, refused attempt were never proven.
  session->ClearStoreCredentials();
  session->set_client_id(client_id);

  const int key_count = authentication.service_provider_auth_key_size();
  if (key_count == 0) {
    LOG(INFO) << "no external service provider authentication: "
              << "biller client id(" << LogText(client_id) << ")";
    Authenticated(request, nullptr);
    AnswerSuccess(request);
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

  // Every key is read before any store is asked, so a bad key answers before
  // a check can, and from here on only the checks answer.
  std::vector<StoreKey> keys;
  if (!ReadStoreKeys(request, &keys)) return;

  auto attempt = std::make_shared<AuthenticationAttempt>(key_count);
  for (const StoreKey& key : keys) {
    switch (key.kind) {
      case StoreKey::kGoogleServiceAccount:
        attempt->gp_token_key = GooglePlayAdapter::TokenKey(key.service_account);
        break;
      case StoreKey::kGoogleOAuthClient:
        attempt->gp_token_key = GooglePlayAdapter::TokenKey(key.oauth_client);
        break;
      case StoreKey::kOneStore:
        attempt->os_token_key = OneStoreAdapter::TokenKey(key.one_store);
        break;
    }
  }
  for (const StoreKey& key : keys) {
    switch (key.kind) {
      case StoreKey::kGoogleServiceAccount:
        LOG(INFO) << "begin to authenticate google api service account: "
                  << "google paly client email(" << LogText(key.service_account.client_email)
                  << ")";
        GooglePlayAdapter::GetAccessToken(key.service_account,
                                          CompleteWith(request, attempt, kGooglePlayStoreName));
        break;
      case StoreKey::kGoogleOAuthClient:
        LOG(INFO) << "begin to authenticate google api server account: "
                  << "google paly client id(" << LogText(key.oauth_client.client_id) << ")";
        GooglePlayAdapter::GetAccessToken(key.oauth_client,
                                          CompleteWith(request, attempt, kGooglePlayStoreName));
        break;
      case StoreKey::kOneStore:
        LOG(INFO) << "begin to authenticate OneStore server account: "
                  << "OneStore client id(" << LogText(key.one_store.client_id) << ")";
        OneStoreAdapter::GetAccessToken(key.one_store, FLAGS_biller_use_one_store_test_server,
                                        CompleteWith(request, attempt, kOneStoreStoreName));
        break;
    }
  }
  // The store checks answer.
}

void BillingAgent::OnAuthenticationCompleted(const std::shared_ptr<Request>& request,
                                             const Attempt& attempt,
                                             const std::string& store_name,
                                             const std::string& /*access_token*/,
                                             const boost::system::error_code& ec) {
  std::atomic<int32_t>& pending = attempt->pending;
  if (pending < 0) {
    LOG(WARNING) << "Other provider authentication has already failed.";
    return;
  }
  if (ec) {
    // Only the first failure answers: exchange makes the check and the
    // claim one step when two stores complete on different threads.
    if (pending.exchange(-1) < 0) {
      LOG(WARNING) << "Other provider authentication has already failed.";
      return;
    }
    const std::string text = store_name + ": " + DescribeError(ec);
    LOG(WARNING) << "failed to get " << store_name << " api access token: "
                 << "error(" << DescribeError(ec) << "), session(" << request->session << ")";
    if (ec == kWrongServiceProviderAuthKey) {
      Answer(request, AuthResponse::kFailWrongServiceProviderAuthKey, text);
    } else {
      SendResponse(request, BillingMessageWriter::CreateFailResponse(
                                request->request_uuid(), ToResultCode(ec), text));
    }
    return;
  }
  // Count down without ever moving a failed (-1) request back up.
  int32_t before = pending.load();
  while (before > 0 && !pending.compare_exchange_weak(before, before - 1)) {
  }
  if (before <= 0) {
    LOG(WARNING) << "Other provider authentication has already failed.";
    return;
  }
  if (before == 1) {
    Authenticated(request, attempt.get());
    LOG(INFO) << "Succeed to authenticate: "
              << "session(" << request->session << ")";
    AnswerSuccess(request);
  }
}

}  // namespace tvx
