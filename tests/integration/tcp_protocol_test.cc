// The TCP protocol end to end: a real biller-server process and real sockets.
#include <set>

#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "framework/tcp.h"
#include "framework/uuid.h"
#include "tests/support/biller_process.h"
#include "tests/support/eventually.h"

namespace tvx::testing {
namespace {

const std::string kGoogleReceipt = MakeGooglePlayReceipt("com.example.game", "gem_100", "tok-1");

class TcpProtocolTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> flags) {
    biller_ = std::make_unique<BillerProcess>(BillerOptions{.flags = std::move(flags)});
    ASSERT_TRUE(biller_->running()) << biller_->Log();
  }

  // The answer's type and result, e.g. "validation 0", and an authentication
  // answer's description: "authentication 2 Talvex-Biller: already authenticated".
  std::string Answer(TcpClient& client, const Biller::Request& request) {
    Biller::Response response;
    EXPECT_TRUE(client.Send(request));
    EXPECT_TRUE(client.Receive(&response)) << biller_->Log();
    EXPECT_EQ(response.request_uuid(), request.request_uuid());
    if (!response.has_authentication()) {
      return "validation " + std::to_string(response.receipt_validation().result());
    }
    const std::string& description = response.authentication().description();
    return "authentication " + std::to_string(response.authentication().result()) +
           (description.empty() ? "" : " " + description);
  }

  std::unique_ptr<BillerProcess> biller_;
};

TEST_F(TcpProtocolTest, BypassModeAnswersEveryRequestInFlightWithSuccess) {
  Start({"--bypass=true"});
  TcpClient client;
  ASSERT_TRUE(client.Connect(biller_->tcp_port()));

  // Never authenticated, receipt not even JSON: still a success.
  EXPECT_EQ(Answer(client, MakeValidationRequest("not json at all")), "validation 0");
  EXPECT_EQ(Answer(client, MakeAuthenticationRequest("client-a", {"{}", "{}", "{}"})),
            "authentication 0");

  // All requests leave in one write, split across frame boundaries as the
  // kernel likes.
  std::string burst;
  std::set<std::string> uuids;
  for (int i = 0; i < 200; ++i) {
    auto request = MakeValidationRequest(kGoogleReceipt);
    uuids.insert(request.request_uuid());
    burst += framing::EncodeFrame(request.SerializeAsString());
  }
  ASSERT_TRUE(client.Send(burst));
  for (int i = 0; i < 200; ++i) {
    Biller::Response response;
    ASSERT_TRUE(client.Receive(&response)) << "answer " << i;
    EXPECT_EQ(response.receipt_validation().result(), Biller::ReceiptValidation_Response::kSuccess);
    EXPECT_EQ(uuids.erase(response.request_uuid()), 1u) << "answered twice, or never asked";
  }

  // Peers that leave mid-request do not disturb the server.
  for (int i = 0; i < 50; ++i) {
    TcpClient peer;
    ASSERT_TRUE(peer.Connect(biller_->tcp_port()));
    peer.Send(MakeValidationRequest(kGoogleReceipt));
    peer.Send(std::string("\x00\x00\x01\x00partial", 11));  // half a frame, then gone
  }
  EXPECT_EQ(Answer(client, MakeValidationRequest(kGoogleReceipt)), "validation 0");
}

TEST_F(TcpProtocolTest, SessionsHoldForTheirConnectionAndBadFramesHurtNoOther) {
  Start({"--tcp_max_message_bytes=1024"});
  TcpClient first, second, noisy, oversized;
  for (TcpClient* client : {&first, &second, &noisy, &oversized}) {
    ASSERT_TRUE(client->Connect(biller_->tcp_port()));
  }
  EXPECT_EQ(Answer(first, MakeAuthenticationRequest("client-a")), "authentication 0");
  EXPECT_EQ(Answer(first, MakeAuthenticationRequest("client-a")),
            "authentication 2 Talvex-Biller: already authenticated");
  // The same connection is authenticated: dispatch goes past the session
  // check and refuses unreadable receipts itself. A second connection is a
  // new session.
  std::string answers;
  for (const std::string receipt :
       {"not json", "{}", R"({"service_provider": 1})", R"({"service_provider": "Nokia"})", "[]"}) {
    answers += Answer(first, MakeValidationRequest(receipt)) + ", ";
  }
  EXPECT_EQ(answers + Answer(second, MakeValidationRequest("{}")),
            "validation 1002, validation 1002, validation 1002, validation 1002, validation 1002, "
            "validation 1005");

  // Garbage bytes as long as a message may be, an empty message, a message
  // without a type and one of the failure type are dropped, and the same
  // connection keeps working.
  Biller::Request untyped, short_uuid = MakeAuthenticationRequest("x"),
                          failure_type = MakeAuthenticationRequest("x");
  untyped.set_request_uuid(util::ToBytes(RandomGenerator::GenerateUuid()));
  short_uuid.mutable_request_uuid()->pop_back();  // a uuid no client could match
  failure_type.set_type(Biller::kFailure);
  for (const std::string& message : {std::string(1024, '\xff'), std::string(),
                                     untyped.SerializeAsString(), short_uuid.SerializeAsString(),
                                     failure_type.SerializeAsString()}) {
    ASSERT_TRUE(noisy.Send(framing::EncodeFrame(message)));
  }
  EXPECT_EQ(Answer(noisy, MakeAuthenticationRequest("noisy")), "authentication 0");
  EXPECT_EQ(biller_->CountInLog("BillingAgent::DispatchRequestMessage: no request uuid"), 2);

  // A frame one byte too long closes that connection alone, on its length.
  ASSERT_TRUE(oversized.Send(framing::EncodeFrame(std::string(1025, 'x')).substr(0, 4)));
  EXPECT_TRUE(oversized.WaitForClose());
  EXPECT_EQ(Answer(second, MakeValidationRequest("{}")), "validation 1005");
}

TEST_F(TcpProtocolTest, SlowFramesAndConnectionsBeyondTheCapAreClosed) {
  Start({"--bypass=true", "--tcp_frame_timeout_ms=500", "--tcp_max_connections=2"});
  ValidationClient kept(*biller_, "kept");
  ASSERT_TRUE(kept.ok());
  // Until the server has seen the start-up probe's connection close, it
  // still holds a place.
  ASSERT_TRUE(Eventually([&] {
    return HttpGet(biller_->api_port(), "/metrics").body.find(
               "biller_connections{listener=\"tcp\"} 1\n") != std::string::npos;
  }));
  TcpClient half;
  ASSERT_TRUE(half.Connect(biller_->tcp_port()));
  ASSERT_TRUE(half.Send(std::string("\x00\x00\x00\x10half", 8)));
  TcpClient beyond;
  ASSERT_TRUE(beyond.Connect(biller_->tcp_port()));
  EXPECT_TRUE(beyond.WaitForClose());
  EXPECT_TRUE(half.WaitForClose());
  EXPECT_TRUE(biller_->WaitForLog("did not arrive whole within 500 ms"));
  EXPECT_TRUE(biller_->WaitForLog("TcpServer: 2 connections open; closing a new one"));

  // The half-sent frame's place is free again, once the server has seen it
  // close.
  EXPECT_TRUE(Eventually([&] { return ValidationClient(*biller_, "next").ok(); }, 5s))
      << biller_->Log();
}

}  // namespace
}  // namespace tvx::testing
