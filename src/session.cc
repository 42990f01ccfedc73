#include "src/session.h"

#include <cstdio>
#include <list>
#include <map>
#include <mutex>
#include <vector>

#include <gflags/gflags.h>
#include <glog/logging.h>

#include "framework/clock.h"
#include "framework/tcp.h"
#include "src/log_text.h"

namespace {

bool NotNegative(const char* flag, int32_t value) {
  if (value >= 0) return true;
  fprintf(stderr, "--%s must not be negative: %d\n", flag, value);
  return false;
}

}  // namespace

DEFINE_int32(http_session_idle_timeout_s, 3600,
             "an HTTP session unused this long is forgotten; 0 never");
DEFINE_validator(http_session_idle_timeout_s, &NotNegative);
DEFINE_int32(http_session_limit, 100000,
             "most HTTP sessions kept; past it the least recently used is forgotten; 0 no limit");
DEFINE_validator(http_session_limit, &NotNegative);

namespace tvx {
namespace {

// Ordered by the 16 id bytes, compared as unsigned bytes (boost's uuid order).
std::mutex the_session_registry_mutex;
std::map<Uuid, std::shared_ptr<ClientSession>> the_session_registry;  // GUARDED_BY above

// Authenticated HTTP sessions, least recently used first.
struct HttpSessionEntry {
  std::shared_ptr<ClientSession> session;
  int64_t last_used = 0;
};
using HttpSessionList = std::list<HttpSessionEntry>;
std::mutex the_http_sessions_mutex;
HttpSessionList the_http_session_lru;                                // GUARDED_BY above
std::map<Uuid, HttpSessionList::iterator> the_http_sessions;         // GUARDED_BY above
std::function<int64_t()> the_http_session_clock = &MonotonicClock::Now;  // GUARDED_BY above

// Forgets the sessions idle too long and those past the limit. The forgotten
// sessions are handed out to be destroyed after the lock is released.
// REQUIRES: the_http_sessions_mutex held.
void TrimHttpSessions(int64_t now, std::vector<std::shared_ptr<ClientSession>>* doomed) {
  const int64_t idle_limit = int64_t{FLAGS_http_session_idle_timeout_s} * 1000 * 1000;
  const size_t count_limit = static_cast<size_t>(FLAGS_http_session_limit);
  while (!the_http_session_lru.empty()) {
    const HttpSessionEntry& oldest = the_http_session_lru.front();
    const bool idle = idle_limit > 0 && now - oldest.last_used >= idle_limit;
    const bool excess = count_limit > 0 && the_http_session_lru.size() > count_limit;
    if (!idle && !excess) break;
    doomed->push_back(oldest.session);
    the_http_sessions.erase(oldest.session->id());
    the_http_session_lru.pop_front();
  }
}

std::mutex the_tcp_session_ids_mutex;
std::map<std::shared_ptr<Transport>, Uuid, std::owner_less<std::shared_ptr<Transport>>>
    the_tcp_session_ids;  // GUARDED_BY above

}  // namespace

const char* ClientSession::StateName(State state) {
  switch (state) {
    case kUnknown: return "kUnknown";
    case kCreated: return "kCreated";
    case kAuthenticated: return "kAuthenticated";
    case kClosed: return "kClosed";
  }
  return "kUnknown";
}

std::ostream& operator<<(std::ostream& os, const ClientSession& session) {
  return os << util::ToString(session.id()) << "(state: "
            << ClientSession::StateName(session.state()) << ", "
            << "client_id: " << LogText(session.client_id()) << ", "
            << "gp_client_id: " << LogText(session.gp_client_id()) << ", "
            << "os_client_id: " << LogText(session.os_client_id()) << ")";
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<ClientSession>& session) {
  if (!session) return os << "(none)";
  return os << *session;
}

std::shared_ptr<ClientSession> GetOrCreateClientSession(const Uuid& id) {
  std::lock_guard<std::mutex> lock(the_session_registry_mutex);
  auto [itr, inserted] = the_session_registry.emplace(id, nullptr);
  if (inserted) {
    itr->second = std::make_shared<ClientSession>(id);
    itr->second->set_state(ClientSession::kCreated);
  }
  if (!itr->second) LOG(FATAL) << "Assert failed: itr->second";
  return itr->second;
}

std::shared_ptr<ClientSession> FindClientSession(const Uuid& id) {
  std::lock_guard<std::mutex> lock(the_session_registry_mutex);
  auto itr = the_session_registry.find(id);
  return itr == the_session_registry.end() ? nullptr : itr->second;
}

bool RemoveClientSession(const Uuid& id) {
  std::shared_ptr<ClientSession> doomed;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(the_session_registry_mutex);
  auto itr = the_session_registry.find(id);
  if (itr == the_session_registry.end()) return false;
  doomed = std::move(itr->second);
  the_session_registry.erase(itr);
  return true;
}

size_t ClientSessionCount() {
  std::lock_guard<std::mutex> lock(the_session_registry_mutex);
  return the_session_registry.size();
}

void AddHttpSession(const std::shared_ptr<ClientSession>& session) {
  std::vector<std::shared_ptr<ClientSession>> doomed;
  std::lock_guard<std::mutex> lock(the_http_sessions_mutex);
  const int64_t now = the_http_session_clock();
  auto [itr, inserted] = the_http_sessions.try_emplace(session->id());
  if (!inserted) {
    the_http_session_lru.erase(itr->second);
  }
  itr->second = the_http_session_lru.insert(the_http_session_lru.end(), {session, now});
  TrimHttpSessions(now, &doomed);
}

std::shared_ptr<ClientSession> FindHttpSession(const Uuid& id) {
  std::vector<std::shared_ptr<ClientSession>> doomed;
  std::lock_guard<std::mutex> lock(the_http_sessions_mutex);
  const int64_t now = the_http_session_clock();
  TrimHttpSessions(now, &doomed);
  auto itr = the_http_sessions.find(id);
  if (itr == the_http_sessions.end()) return nullptr;
  itr->second->last_used = now;
  the_http_session_lru.splice(the_http_session_lru.end(), the_http_session_lru, itr->second);
  return itr->second->session;
}

size_t HttpSessionCount() {
  std::lock_guard<std::mutex> lock(the_http_sessions_mutex);
  return the_http_sessions.size();
}

void SetHttpSessionClockForTesting(std::function<int64_t()> clock) {
  std::lock_guard<std::mutex> lock(the_http_sessions_mutex);
  the_http_session_clock = std::move(clock);
}

bool AddTcpSessionId(const std::shared_ptr<Transport>& transport, const Uuid& id) {
  std::lock_guard<std::mutex> lock(the_tcp_session_ids_mutex);
  return the_tcp_session_ids.emplace(transport, id).second;
}

Uuid GetTcpSessionId(const std::shared_ptr<Transport>& transport) {
  std::lock_guard<std::mutex> lock(the_tcp_session_ids_mutex);
  auto itr = the_tcp_session_ids.find(transport);
  return itr == the_tcp_session_ids.end() ? util::kNilUuid : itr->second;
}

bool RemoveTcpSessionId(const std::shared_ptr<Transport>& transport) {
  std::lock_guard<std::mutex> lock(the_tcp_session_ids_mutex);
  return the_tcp_session_ids.erase(transport) > 0;
}

size_t TcpSessionIdCount() {
  std::lock_guard<std::mutex> lock(the_tcp_session_ids_mutex);
  return the_tcp_session_ids.size();
}

std::shared_ptr<Request> Request::CreateForTcp(
    const std::shared_ptr<Transport>& tcp_protobuf_client,
    const std::shared_ptr<ClientSession>& session,
    const std::shared_ptr<Biller::Request>& request_message) {
  if (!tcp_protobuf_client) LOG(FATAL) << "Assert failed: tcp_protobuf_client";
  if (!session) LOG(FATAL) << "Assert failed: session";
  if (!request_message) LOG(FATAL) << "Assert failed: request_message";
  auto request = std::make_shared<Request>();
  request->tcp_protobuf_client = tcp_protobuf_client;
  request->session = session;
  request->request_message = request_message;
  request->start_time = MonotonicClock::Now();
  return request;
}

std::shared_ptr<Request> Request::CreateForHttp(
    const std::shared_ptr<HttpSocket>& http_client, const std::shared_ptr<ClientSession>& session,
    const std::shared_ptr<Biller::Request>& request_message) {
  if (!http_client) LOG(FATAL) << "Assert failed: http_client";
  auto request = std::make_shared<Request>();
  request->http_client = http_client;
  request->session = session;
  request->request_message = request_message;
  request->start_time = MonotonicClock::Now();
  return request;
}

Uuid Request::request_uuid() const {
  return request_message ? util::FromBytes(request_message->request_uuid()) : util::kNilUuid;
}

}  // namespace tvx
