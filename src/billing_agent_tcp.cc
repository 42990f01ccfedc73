// The TCP front end, request routing and the answer path shared with HTTP,
// with the registry of the requests in flight between the two.
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <glog/logging.h>

#include "framework/billing_message_writer.h"
#include "framework/http_server.h"
#include "framework/uuid.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_error.h"
#include "src/billing_statistics.h"
#include "src/http_rendering.h"

namespace tvx {
namespace {

// Requests dispatched and not yet answered, and those answered 2003 at
// shut-down whose own answer, when it comes, is dropped. Keyed by the
// context's address: a context lives while its flow holds it, and the weak
// pointer tells an entry of a context gone without an answer from a new
// context at the same address.
struct InFlight {
  std::mutex mutex;
  std::condition_variable changed;
  bool watched = false;                                                   // GUARDED_BY(mutex)
  std::unordered_map<const Request*, std::weak_ptr<Request>> waiting;    // GUARDED_BY(mutex)
  std::unordered_map<const Request*, std::weak_ptr<Request>> abandoned;  // GUARDED_BY(mutex)
};

InFlight& TheInFlight() {
  // Never destroyed: a flow may still answer while the process exits.
  static InFlight* const in_flight = new InFlight();
  return *in_flight;
}

bool Holds(const std::weak_ptr<Request>& entry, const std::shared_ptr<Request>& request) {
  return !entry.owner_before(request) && !request.owner_before(entry);
}

// Takes `request` out of `map`; false when it is not there.
bool Take(std::unordered_map<const Request*, std::weak_ptr<Request>>& map,
          const std::shared_ptr<Request>& request) {
  auto it = map.find(request.get());
  if (it == map.end() || !Holds(it->second, request)) return false;
  map.erase(it);
  return true;
}

// Entries of contexts that are gone count no more. REQUIRES: mutex held.
size_t LiveCount(InFlight& in_flight) {
  std::erase_if(in_flight.waiting, [](const auto& entry) { return entry.second.expired(); });
  return in_flight.waiting.size();
}

void Track(const std::shared_ptr<Request>& request) {
  InFlight& in_flight = TheInFlight();
  {
    std::lock_guard<std::mutex> lock(in_flight.mutex);
    in_flight.waiting[request.get()] = request;
  }
  if (request->tcp_protobuf_client) request->tcp_protobuf_client->BeginRequest();
}

enum class Tracking { kWaiting, kAnsweredAtShutdown, kUntracked };

Tracking Untrack(const std::shared_ptr<Request>& request) {
  InFlight& in_flight = TheInFlight();
  std::lock_guard<std::mutex> lock(in_flight.mutex);
  if (Take(in_flight.waiting, request)) {
    if (in_flight.watched) in_flight.changed.notify_all();
    return Tracking::kWaiting;
  }
  if (Take(in_flight.abandoned, request)) return Tracking::kAnsweredAtShutdown;
  return Tracking::kUntracked;
}

// Writes the answer on the transport the request came from.
void Deliver(const std::shared_ptr<Request>& request,
             const std::shared_ptr<Biller::Response>& response) {
  if (request->tcp_protobuf_client) {
    request->tcp_protobuf_client->Send(Buffer(*response), 100);
    return;
  }
  if (!request->http_client) LOG(FATAL) << "Assert failed: http_client_";
  std::string body;
  if (!RenderHttpResponseBody(*response, request->session.get(), &body)) {
    LOG(FATAL) << "Assert failed: false";
  }
  request->http_client->SendResponse(
      200, body, "application/json",
      RenderHttpResponseFields(*response, request->session.get()));
}

}  // namespace

size_t RequestsInFlight() {
  InFlight& in_flight = TheInFlight();
  std::lock_guard<std::mutex> lock(in_flight.mutex);
  return LiveCount(in_flight);
}

bool WaitForRequestsInFlight(std::chrono::milliseconds timeout) {
  InFlight& in_flight = TheInFlight();
  std::unique_lock<std::mutex> lock(in_flight.mutex);
  in_flight.watched = true;
  const bool drained =
      in_flight.changed.wait_for(lock, timeout, [&] { return LiveCount(in_flight) == 0; });
  in_flight.watched = false;
  return drained;
}

size_t AnswerRequestsInFlight() {
  InFlight& in_flight = TheInFlight();
  std::vector<std::shared_ptr<Request>> left;
  {
    std::lock_guard<std::mutex> lock(in_flight.mutex);
    for (auto& [key, entry] : in_flight.waiting) {
      if (auto request = entry.lock()) {
        in_flight.abandoned.emplace(key, entry);
        left.push_back(std::move(request));
      }
    }
    in_flight.waiting.clear();
  }
  for (const auto& request : left) {
    Deliver(request, BillingMessageWriter::CreateFailResponse(
                         request->request_uuid(), kServiceProviderCommunicationError,
                         DescribeError(kServiceProviderCommunicationError)));
    if (request->tcp_protobuf_client) request->tcp_protobuf_client->EndRequest();
  }
  return left.size();
}

std::shared_ptr<TcpSocket> BillingAgent::CreateTcpTransport() {
  auto transport = TcpTransport::Create(the_io_group_name, TcpSSLOption::kNullPtr,
                                        TransportCompressor::kNullPtr, true);
  if (!transport) return nullptr;
  transport->SetConnectHandler(&BillingAgent::OnTcpConnected);
  transport->SetDisconnectHandler(&BillingAgent::OnTcpDisconnected);
  transport->SetReceiveHandler(&BillingAgent::OnTcpReceived);
  return transport->ToSocketBase();
}

void BillingAgent::OnTcpConnected(const Transport::Ptr& transport,
                                  const boost::system::error_code& /*ec*/) {
  const Uuid session_id = RandomGenerator::GenerateUuid();
  if (!AddTcpSessionId(transport, session_id)) {
    LOG(FATAL) << "no session id for tcp transport";
  }
}

void BillingAgent::OnTcpDisconnected(const Transport::Ptr& transport,
                                     const boost::system::error_code& /*ec*/) {
  const Uuid session_id = GetTcpSessionId(transport);
  if (session_id == util::kNilUuid) LOG(FATAL) << "Assert failed: false";
  if (!RemoveTcpSessionId(transport)) LOG(FATAL) << "Assert failed: false";
  // Nothing can reach the session of a closed connection again: a new
  // connection always draws a new id. Requests still in flight keep their
  // own reference until they answer.
  RemoveClientSession(session_id);
}

void BillingAgent::OnTcpReceived(const Transport::Ptr& transport, const HeaderMap& /*headers*/,
                                 const Buffer& body) {
  auto message = std::make_shared<Biller::Request>();
  if (!message->ParseFromArray(body.GetReadableBuffer(),
                               static_cast<int>(body.GetReadableSize()))) {
    LOG(WARNING) << "BillingAgent::OnTcpReceived: Failed to parse: "
                 << "message size[" << body.GetReadableSize() << "]";
    return;
  }
  // A uuid of another length could not be matched by the client.
  if (!message->has_request_uuid() || message->request_uuid().size() != 16) {
    LOG(WARNING) << "BillingAgent::DispatchRequestMessage: no request uuid";
    return;
  }
  if (!message->has_type()) {
    LOG(WARNING) << "BillingAgent::DispatchRequestMessage: no request type";
    return;
  }
  const Uuid session_id = GetTcpSessionId(transport);
  if (session_id == util::kNilUuid) LOG(FATAL) << "Assert failed: false";
  auto session = GetOrCreateClientSession(session_id);
  if (!session) LOG(FATAL) << "Assert failed: session";
  DispatchRequestMessage(Request::CreateForTcp(transport, session, message));
}

void BillingAgent::DispatchRequestMessage(const std::shared_ptr<Request>& request) {
  const int type = request->request_message->type();
  switch (type) {
    case Biller::kAuthentication:
      Track(request);
      OnAuthenticationRequested(request);
      return;
    case Biller::kReceiptValidation:
      Track(request);
      OnReceiptValidationRequested(request);
      return;
    default:
      LOG(WARNING) << "BillingAgent::DispatchRequestMessage: "
                   << "invalid request type: "
                   << "session[" << request->session << "], type[" << type << "]";
      return;
  }
}

void BillingAgent::SendResponse(const std::shared_ptr<Request>& request,
                                const std::shared_ptr<Biller::Response>& response) {
  const Tracking tracking = Untrack(request);
  // Its client has had its answer, 2003, when the grace period ended.
  if (tracking == Tracking::kAnsweredAtShutdown) return;
  RecordAnswer(*request, *response);
  Deliver(request, response);
  if (tracking == Tracking::kWaiting && request->tcp_protobuf_client) {
    request->tcp_protobuf_client->EndRequest();
  }
}

}  // namespace tvx
