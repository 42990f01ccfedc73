// SIGTERM while validations wait on a store: a biller-server process, the
// fake Apple endpoints and the test MariaDB.
#include <future>

#include <gtest/gtest.h>

#include "framework/billing_store.h"
#include "framework/json.h"
#include "src/billing_error.h"
#include "tests/support/eventually.h"
#include "tests/support/biller_process.h"
#include "tests/support/fake_store_server.h"
#include "tests/support/validation_client.h"

namespace tvx::testing {
namespace {

using Apple = FakeAppleStore;

class ShutdownTest : public StoreValidationTest {
 protected:
  FakeAppleStore apple_{&server_};
};

TEST_F(ShutdownTest, SigtermLetsRequestsInFlightFinishAndAnswersTheRest2003) {
  FakeResponse slow = Apple::Verified({Apple::Purchase("gem_100", "1", "1000000777")});
  slow.delay = 1500ms;  // confirmed during the grace period
  apple_.Script(Apple::kProduction, "slow", {slow});
  apple_.Script(Apple::kProduction, "stuck", {FakeResponse::Hang()});
  apple_.Script(Apple::kProduction, "stuck-http", {FakeResponse::Hang()});
  Json endpoints = Json::Object();
  apple_.AddEndpoints(&endpoints);
  Start(StoreArguments(endpoints), {"--http_client_timeout_ms=60000", "--shutdown_grace_period_s=4"});

  TcpClient tcp;
  ASSERT_TRUE(tcp.Connect(biller_->tcp_port()));
  ASSERT_TRUE(tcp.Send(MakeAuthenticationRequest("game-server-2")));
  Biller::Response response;
  ASSERT_TRUE(tcp.Receive(&response));
  const std::string http_request =
      R"({"sessionid": ")" + OpenHttpSession(*biller_) +
      R"(", "player_id": "p", "player_service_provider": "guest", "receipt_data": "stuck-http",)"
      R"( "product_id": "gem_100", "quantity": 1})";
  auto http_answer = std::async(std::launch::async, [&] {
    return HttpPost(biller_->http_port(), "/v1/validation/appleappstore", http_request, 60s);
  });
  const auto slow_request = MakeValidationRequest(MakeAppleAppStoreReceipt("slow", "gem_100", 1));
  const auto stuck_request =
      MakeValidationRequest(MakeAppleAppStoreReceipt("stuck", "gem_100", 1));
  ASSERT_TRUE(tcp.Send(slow_request) && tcp.Send(stuck_request));
  ASSERT_TRUE(Eventually([&] { return apple_.RequestCount(Apple::kProduction) == 3; }, 10s));

  auto exit_status = std::async(std::launch::async, [&] { return biller_->Stop(60s); });
  ASSERT_TRUE(biller_->WaitForLog("BillingAgent::Stop: waiting up to 4 s for 3 requests"))
      << biller_->Log();
  // The listeners are closed, and an open connection reads no new request.
  EXPECT_FALSE(LoopbackConnection().Connect(biller_->tcp_port()));
  EXPECT_FALSE(LoopbackConnection().Connect(biller_->http_port()));
  ASSERT_TRUE(tcp.Send(MakeAuthenticationRequest("too late")));

  ASSERT_TRUE(tcp.Receive(&response, 30s)) << biller_->Log();
  EXPECT_EQ(response.request_uuid(), slow_request.request_uuid());
  EXPECT_EQ(ResultOf(response), 0);
  ASSERT_TRUE(tcp.Receive(&response, 30s)) << biller_->Log();
  EXPECT_EQ(response.request_uuid(), stuck_request.request_uuid());
  EXPECT_EQ(response.type(), Biller::kFailure);
  EXPECT_EQ(ResultOf(response), kServiceProviderCommunicationError);
  EXPECT_TRUE(tcp.WaitForClose(10s));
  EXPECT_EQ(http_answer.get().body,
            R"({"result": 2003, "description": "Talvex-Biller: service provider communication error"})");

  EXPECT_EQ(exit_status.get(), 0) << biller_->Log();
  EXPECT_EQ(biller_->CountInLog("3 requests still waiting"), 0);
  EXPECT_TRUE(biller_->WaitForLog("2 requests still waiting at the end of the grace period"));
  EXPECT_EQ(QueryRows(*biller_, "SELECT transaction_id FROM tb_receipt_apple_appstore2"),
            (std::vector<std::vector<std::string>>{{"1000000777"}}));
}

}  // namespace
}  // namespace tvx::testing
