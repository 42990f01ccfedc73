// Client sessions, the process-wide session registry, the map of open TCP
// connections to their session ids, and Request, the context that carries one
// client request through its asynchronous handling.
#ifndef SRC_SESSION_H_
#define SRC_SESSION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "framework/biller.pb.h"
#include "framework/uuid.h"
#include "src/access_token_key.h"

namespace tvx {

class Transport;
class HttpSocket;

class ClientSession {
 public:
  enum State : int32_t { kUnknown = 0, kCreated = 1, kAuthenticated = 2, kClosed = 3 };

  explicit ClientSession(const Uuid& id) : id_(id) {}

  const Uuid& id() const { return id_; }

  // The state is read by validations while a later authentication of the same
  // session may write it; the store accounts are written by authentication
  // before it sets kAuthenticated and read by the validations the client
  // sends after it.
  State state() const { return state_.load(std::memory_order_acquire); }
  void set_state(State state) { state_.store(state, std::memory_order_release); }

  // A session keeps no store secret: only the account names, for log lines,
  // and the keys of the token-cache entries its authentication proved.
  const std::string& client_id() const { return client_id_; }
  void set_client_id(const std::string& v) { Assign(&client_id_, v); }
  const std::string& gp_client_id() const { return gp_token_key_.account; }
  const AccessTokenKey& gp_token_key() const { return gp_token_key_; }
  void set_gp_token_key(const AccessTokenKey& v) { gp_token_key_ = v; }
  const std::string& os_client_id() const { return os_token_key_.account; }
  const AccessTokenKey& os_token_key() const { return os_token_key_; }
  void set_os_token_key(const AccessTokenKey& v) { os_token_key_ = v; }

  // Forgets every store account. An attempt to authenticate starts from
  // none, so that an account named by a refused attempt is never used.
  void ClearStoreCredentials() {
    gp_token_key_ = AccessTokenKey();
    os_token_key_ = AccessTokenKey();
  }

  static const char* StateName(State state);

 private:
  static void Assign(std::string* field, const std::string& value) {
    if (field != &value) *field = value;
  }

  const Uuid id_;
  std::atomic<State> state_{kUnknown};
  std::string client_id_;
  AccessTokenKey gp_token_key_;
  AccessTokenKey os_token_key_;
};

// "<uuid>(state: <name>, client_id: ..., gp_client_id: ..., os_client_id: ...)",
// the ids escaped as client texts.
std::ostream& operator<<(std::ostream& os, const ClientSession& session);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<ClientSession>& session);

// The session of `id`, made (in kCreated) when the id is new. Never null.
std::shared_ptr<ClientSession> GetOrCreateClientSession(const Uuid& id);
// The session of `id`, or null when the registry does not know it.
std::shared_ptr<ClientSession> FindClientSession(const Uuid& id);
// Forgets a session; true when it was registered. A TCP connection's session
// is unreachable once the connection closes, so it is dropped then.
bool RemoveClientSession(const Uuid& id);
size_t ClientSessionCount();

// HTTP sessions: registered once their authentication succeeded, forgotten
// when unused for --http_session_idle_timeout_s, or as the least recently used
// once there are more than --http_session_limit (0 disables either rule).
void AddHttpSession(const std::shared_ptr<ClientSession>& session);
// The session of `id`, marked as just used; null when it is unknown or has
// been forgotten.
std::shared_ptr<ClientSession> FindHttpSession(const Uuid& id);
size_t HttpSessionCount();
// Tests: the clock of the idle rule (monotonic microseconds).
void SetHttpSessionClockForTesting(std::function<int64_t()> clock);

// Open TCP connections and their session ids.
bool AddTcpSessionId(const std::shared_ptr<Transport>& transport, const Uuid& id);
// The recorded id, or the nil uuid.
Uuid GetTcpSessionId(const std::shared_ptr<Transport>& transport);
bool RemoveTcpSessionId(const std::shared_ptr<Transport>& transport);
size_t TcpSessionIdCount();

// The context of one client request; every asynchronous step of its
// handling holds a shared copy.
class Request {
 public:
  static std::shared_ptr<Request> CreateForTcp(
      const std::shared_ptr<Transport>& tcp_protobuf_client,
      const std::shared_ptr<ClientSession>& session,
      const std::shared_ptr<Biller::Request>& request_message);
  // `session` and `request_message` may be null: an answer to a request that
  // could not be parsed.
  static std::shared_ptr<Request> CreateForHttp(
      const std::shared_ptr<HttpSocket>& http_client,
      const std::shared_ptr<ClientSession>& session,
      const std::shared_ptr<Biller::Request>& request_message);

  std::shared_ptr<Transport> tcp_protobuf_client;
  std::shared_ptr<HttpSocket> http_client;
  std::shared_ptr<ClientSession> session;
  std::shared_ptr<Biller::Request> request_message;
  int64_t start_time = 0;
  // The receipt's store, once the validation dispatch took the request; -1
  // before (for the metrics).
  int service_provider = -1;

  // The request's uuid (nil when there is no message).
  Uuid request_uuid() const;
};

}  // namespace tvx

#endif  // SRC_SESSION_H_
