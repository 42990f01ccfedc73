// The TCP front end, request routing and the answer path shared with HTTP.
#include <glog/logging.h>

#include "framework/http_server.h"
#include "framework/uuid.h"
#include "src/billing_agent.h"
#include "src/billing_agent_state.h"
#include "src/billing_statistics.h"
#include "src/http_rendering.h"

namespace tvx {

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
  if (!message->has_request_uuid()) {
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
      OnAuthenticationRequested(request);
      return;
    case Biller::kReceiptValidation:
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
  RecordAnswer(*request, *response);
  if (request->tcp_protobuf_client) {
    request->tcp_protobuf_client->Send(Buffer(*response), 100);
    return;
  }
  if (!request->http_client) LOG(FATAL) << "Assert failed: http_client_";
  std::string body;
  if (!RenderHttpResponseBody(*response, request->session.get(), &body)) {
    LOG(FATAL) << "Assert failed: false";
  }
  request->http_client->SendResponse(body, "application/json");
}

}  // namespace tvx
