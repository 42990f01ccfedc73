#include "src/session.h"

#include <map>
#include <mutex>

#include <glog/logging.h>

#include "framework/clock.h"
#include "framework/tcp.h"

namespace tvx {
namespace {

// Ordered by the 16 id bytes, compared as unsigned bytes (boost's uuid order).
std::mutex the_session_registry_mutex;
std::map<Uuid, std::shared_ptr<ClientSession>> the_session_registry;  // GUARDED_BY above

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
            << "client_id: " << session.client_id() << ", "
            << "gp_client_id: " << session.gp_client_id() << ", "
            << "os_client_id: " << session.os_client_id() << ")";
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
