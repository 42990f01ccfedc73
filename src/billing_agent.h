// BillingAgent: the process-wide heart of the biller. Its state is a small set
// of module-level objects written only by Start and Stop; its operations are
// static and run on the agent's io group.
#ifndef SRC_BILLING_AGENT_H_
#define SRC_BILLING_AGENT_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "framework/biller.pb.h"
#include "framework/json.h"
#include "framework/player_account.h"
#include "framework/tcp.h"
#include "framework/timer.h"
#include "src/exponential_backoff.h"
#include "src/session.h"

namespace tvx {

struct AuthenticationAttempt;

// A receipt validation as a store flow starts it: the client's request, the
// receipt it carries, the player it is for, and the back-off the flow's
// failed store steps wait by (null for a store that is asked once).
struct ValidationStart {
  std::shared_ptr<Request> request;
  Json receipt;
  PlayerAccount account;
  std::shared_ptr<ExponentialBackoff> back_off;
};

class BillingAgent {
 public:
  // Brings the service up: event loop, database, schema, store adapters, TCP
  // server, HTTP server, statistics counters, statistics timer. Every failure
  // ends the process; true when the service is up or the schema was exported.
  static bool Start(const std::string& io_group_name, uint16_t tcp_port, uint16_t http_port,
                    bool bypass, const std::string& db_address, const std::string& db_user,
                    const std::string& db_password, const std::string& db_name,
                    uint64_t connection_count, const std::string& character_set);
  // Takes down the timer, the servers and the database. Safe without Start.
  static void Stop();

  // TCP front end.
  static std::shared_ptr<TcpSocket> CreateTcpTransport();
  static void OnTcpConnected(const Transport::Ptr& transport, const boost::system::error_code& ec);
  static void OnTcpDisconnected(const Transport::Ptr& transport,
                                const boost::system::error_code& ec);
  static void OnTcpReceived(const Transport::Ptr& transport, const HeaderMap& headers,
                            const Buffer& body);

  // Routes a request by its type; shared by the TCP and HTTP front ends.
  static void DispatchRequestMessage(const std::shared_ptr<Request>& request);
  // The one way every handler and flow answers a request, on the transport it
  // came from.
  static void SendResponse(const std::shared_ptr<Request>& request,
                           const std::shared_ptr<Biller::Response>& response);

  static void OnAuthenticationRequested(const std::shared_ptr<Request>& request);
  // Completion of one store credential check of `attempt`, which counts the
  // checks still outstanding and holds the accounts to give the session.
  static void OnAuthenticationCompleted(const std::shared_ptr<Request>& request,
                                        const std::shared_ptr<AuthenticationAttempt>& attempt,
                                        const std::string& store_name,
                                        const std::string& access_token,
                                        const boost::system::error_code& ec);
  static void OnReceiptValidationRequested(const std::shared_ptr<Request>& request);

  // The store flows. Each validates one receipt of its store for an
  // authenticated session and answers the client exactly once.
  static void RequestGooglePlayAccessToken(ValidationStart start);
  static void RequestAppleAppStoreReceiptValidation(ValidationStart start);
  static void RequestTStoreReceiptValidation(ValidationStart start);
  // The PlayStation store is asked once, without retries: its back-off is
  // not used.
  static void RequestP4ReceiptValidation(ValidationStart start);
  static void RequestOneStoreAccessToken(ValidationStart start);

  // The provider code named by the object's "service_provider" string; 0 when
  // it is missing or not a string.
  static int GetServiceProvider(const Json& object);

  // For tests and diagnostics.
  static bool IsRunning();
  static uint16_t TcpPort();
};

}  // namespace tvx

#endif  // SRC_BILLING_AGENT_H_
