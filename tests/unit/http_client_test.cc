// The HTTP client against a loopback server: answers of every status come back
// as answers, while hangs and oversized answers become transport failures within
// bounded time (refused connections are checked end to end, with the stores).
#include "framework/http_client.h"

#include <atomic>
#include <future>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

using namespace std::chrono_literals;
using http::TransportCode;

struct Outcome {
  TransportCode code = TransportCode::kOk;
  http::Response response;
  std::string Text() const { return std::to_string(response.status_code) + " " + response.body; }
};

// GETs `url` and waits for the handler; the store adapters' tests send the POSTs.
Outcome Call(HttpClient& client, const std::string& url, int timeout_ms = 0) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  client.GetAsync(url, [promise](TransportCode code, const http::Response& response) {
    promise->set_value({code, response});
  }, timeout_ms);
  if (future.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the handler did not run";
    return {TransportCode::kAborted, {}};
  }
  return future.get();
}

class HttpClientTest : public ::testing::Test {
 protected:
  FakeHttpServer server_;
  TestIoContext io_;
};

TEST_F(HttpClientTest, HeadersAreReplacedAndNeverCarryLineBreaks) {
  server_.Route("GET", "/echo", [](const FakeRequest& request) {
    return FakeResponse::Raw(201, request.Header("content-type") + " " +
                                      request.Header("x-extra") + "|" + request.Header("injected"));
  });
  HttpClient client(io_.io());
  client.SetHeader("Content-Type", "text/plain");
  client.SetHeader("content-type", "application/x-www-form-urlencoded");  // replaces
  client.SetHeader("X-Extra", "1");
  client.SetHeader("X-Extra", "evil\r\nInjected: yes");  // refused
  EXPECT_EQ(Call(client, server_.Url("/echo")).Text(), "201 application/x-www-form-urlencoded 1|");
  client.ResetHeader();
  EXPECT_EQ(Call(client, server_.Url("/echo")).Text(), "201  |");
}

TEST_F(HttpClientTest, ErrorStatusesAreAnswersAndFailuresAreTransportCodes) {
  server_.Route("GET", "/503", [](const FakeRequest&) { return FakeResponse::Raw(503, "oops"); });
  server_.Route("GET", "/big", [](const FakeRequest&) {
    return FakeResponse::Raw(200, std::string(100000, 'x'));
  });
  server_.Route("GET", "/hang", [](const FakeRequest&) { return FakeResponse::Hang(); });
  server_.Route("GET", "/slow", [](const FakeRequest&) { return FakeResponse{.delay = 2s}; });
  const std::tuple<const char*, int, TransportCode, std::string> cases[] = {
      {"/503", 0, TransportCode::kOk, "503 oops"},
      {"/big", 0, TransportCode::kWriteError, ""},
      {"/slow", 200, TransportCode::kTimedOut, "0 "},  // the request's own timeout
  };
  for (const auto& [path, timeout_ms, code, answer] : cases) {
    HttpClient client(io_.io());
    client.SetMaxResponseBytes(1000);
    client.SetTimeouts(1000, timeout_ms ? 10000 : 300);
    const auto start = std::chrono::steady_clock::now();
    Outcome outcome = Call(client, server_.Url(path), timeout_ms);
    EXPECT_EQ(outcome.code, code) << path;
    if (!answer.empty()) { EXPECT_EQ(outcome.Text(), answer) << path; }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << path;
  }

  HttpClient client(io_.io());
  client.SetTimeouts(10000, 10000);
  const int hung = server_.RequestCount("/hang");
  client.GetAsync(server_.Url("/hang"), [](TransportCode, const http::Response&) {}, 0);
  while (server_.RequestCount("/hang") == hung) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(300ms);  // past curl's own short connect-phase timers
  EXPECT_EQ(Call(client, server_.Url("/hang"), 200).code, TransportCode::kTimedOut);
}

TEST_F(HttpClientTest, KeptAliveConnectionsAreReusedWhateverTheNumberInFlight) {
  server_.Route("GET", "/item/", [](const FakeRequest& request) {
    return FakeResponse{.body = request.path.substr(6), .delay = 100ms};
  });
  for (int i = 0; i < 3; ++i) {
    HttpClient client(io_.io());  // a fresh client each time, as every store exchange makes one
    ASSERT_EQ(Call(client, server_.Url("/item/x")).code, TransportCode::kOk);
  }
  EXPECT_EQ(server_.ConnectionCount(), 1);
  constexpr int kInFlight = 100;
  HttpClient client(io_.io());
  for (int round = 0; round < 4; ++round) {
    std::atomic<int> completed{0}, correct{0};
    for (int i = 0; i < kInFlight; ++i) {
      client.GetAsync(server_.Url("/item/" + std::to_string(i)),
                      [&, id = std::to_string(i)](TransportCode code, const http::Response& r) {
                        correct += code == TransportCode::kOk && r.body == id;
                        ++completed;
                      }, 0);
    }
    ASSERT_TRUE(Eventually([&] { return completed == kInFlight; }, 20s));
    EXPECT_EQ(correct, kInFlight);
  }
  EXPECT_LE(server_.ConnectionCount(), 1 + kInFlight);
}

TEST(HttpClientLifetimeTest, RequestsInFlightGoWithTheirIoContext) {
  FakeHttpServer server;
  server.Route("GET", "/hang", [](const FakeRequest&) { return FakeResponse::Hang(); });
  auto handler_ran = std::make_shared<std::atomic<bool>>(false);
  {
    TestIoContext io;
    HttpClient client(io.io());
    auto note = [handler_ran](TransportCode, const http::Response&) { *handler_ran = true; };
    client.GetAsync(server.Url("/hang"), note, 0);
    while (server.RequestCount("/hang") == 0) std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(*handler_ran);  // went with the context, unrun
  auto io = std::make_shared<IoContext>();
  HttpClient client(io);
  io.reset();
  EXPECT_EQ(Call(client, server.Url("/hang")).code, TransportCode::kAborted);
}

TEST(HttpFormTest, ValuesArePercentEncodedSoEveryByteArrivesIntact) {
  EXPECT_EQ(http::UrlEncode("AZaz09-._~") + "|" + http::UrlEncode("a&b=c+d e/%") + "|" +
                http::UrlEncode(std::string("\xC3\xA9\n\0end", 7)) + "|" + http::UrlEncode(""),
            "AZaz09-._~|a%26b%3Dc%2Bd%20e%2F%25|%C3%A9%0A%00end|");
  EXPECT_EQ(http::MakeFormBody({{"grant_type", "refresh_token"}, {"secret", "s&x=1+"}, {"e", ""}}),
            "grant_type=refresh_token&secret=s%26x%3D1%2B&e=");
}

}  // namespace
}  // namespace tvx::testing
