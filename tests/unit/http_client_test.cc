// The HTTP client against loopback servers: answers of every status come back
// as answers, while refusals, hangs and oversized answers become transport
// failures within bounded time.
#include "framework/http_client.h"

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "tests/support/fake_store_server.h"

namespace tvx::testing {
namespace {

using namespace std::chrono_literals;
using http::TransportCode;

struct Outcome {
  TransportCode code = TransportCode::kOk;
  http::Response response;
};

// Sends through `send` and waits for the handler.
Outcome Await(const std::function<void(HttpClient::Handler)>& send,
              std::chrono::milliseconds timeout = 10s) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  send([promise](TransportCode code, const http::Response& response) {
    promise->set_value({code, response});
  });
  if (future.wait_for(timeout) != std::future_status::ready) {
    ADD_FAILURE() << "the handler did not run";
    return {TransportCode::kAborted, {}};
  }
  return future.get();
}

// A loopback port on which nothing listens.
int ClosedPort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

class HttpClientTest : public ::testing::Test {
 protected:
  FakeHttpServer server_;
  TestIoContext io_;
};

TEST_F(HttpClientTest, PostSendsBodyAndHeadersAndGetsTheAnswer) {
  server_.Route("POST", "/echo", [](const FakeRequest& request) {
    return FakeResponse::Raw(201, request.method + " " + request.body + " " +
                                      request.Header("content-type") + " " +
                                      request.Header("x-extra"));
  });
  HttpClient client(io_.io());
  client.SetHeader("Content-Type", "text/plain");
  client.SetHeader("content-type", "application/x-www-form-urlencoded");  // replaces
  client.SetHeader("X-Extra", "1");
  auto body = std::make_shared<const std::string>("a=1&b=2");
  Outcome outcome = Await([&](HttpClient::Handler handler) {
    client.PostAsync(server_.Url("/echo"), body, std::move(handler), 0);
  });
  EXPECT_EQ(outcome.code, TransportCode::kOk);
  EXPECT_EQ(outcome.response.status_code, 201);
  EXPECT_EQ(outcome.response.body, "POST a=1&b=2 application/x-www-form-urlencoded 1");

  client.ResetHeader();
  outcome = Await([&](HttpClient::Handler handler) {
    client.PostAsync(server_.Url("/echo"), body, std::move(handler), 0);
  });
  EXPECT_EQ(outcome.response.body.find(" 1"), std::string::npos) << outcome.response.body;
}

TEST_F(HttpClientTest, ErrorStatusesAreAnswersNotTransportFailures) {
  for (int status : {401, 503}) {
    server_.Route("GET", "/status",
                  [status](const FakeRequest&) { return FakeResponse::Raw(status, "oops"); });
    HttpClient client(io_.io());
    Outcome outcome = Await(
        [&](HttpClient::Handler handler) { client.GetAsync(server_.Url("/status"), handler, 0); });
    EXPECT_EQ(outcome.code, TransportCode::kOk) << status;
    EXPECT_EQ(outcome.response.status_code, status);
    EXPECT_EQ(outcome.response.body, "oops");
  }
}

TEST_F(HttpClientTest, RefusedConnectionIsATransportFailure) {
  HttpClient client(io_.io());
  Outcome outcome = Await([&](HttpClient::Handler handler) {
    client.GetAsync("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", handler, 0);
  });
  EXPECT_EQ(outcome.code, TransportCode::kCouldNotConnect);
  EXPECT_EQ(outcome.response.status_code, 0);
}

TEST_F(HttpClientTest, AServerThatNeverAnswersTimesOut) {
  server_.Route("GET", "/hang", [](const FakeRequest&) { return FakeResponse::Hang(); });
  server_.Route("GET", "/slow", [](const FakeRequest&) { return FakeResponse{.delay = 2s}; });
  HttpClient client(io_.io());
  client.SetTimeouts(1000, 300);
  const auto start = std::chrono::steady_clock::now();
  Outcome outcome =
      Await([&](HttpClient::Handler handler) { client.GetAsync(server_.Url("/hang"), handler, 0); });
  EXPECT_EQ(outcome.code, TransportCode::kTimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);

  // The last argument overrides the total timeout of one request.
  client.SetTimeouts(1000, 10000);
  outcome = Await(
      [&](HttpClient::Handler handler) { client.GetAsync(server_.Url("/slow"), handler, 200); });
  EXPECT_EQ(outcome.code, TransportCode::kTimedOut);

  // A shorter deadline still ends first while a longer one is pending.
  client.SetTimeouts(10000, 10000);
  client.GetAsync(server_.Url("/hang"), [](TransportCode, const http::Response&) {}, 0);
  while (server_.RequestCount("/hang") < 2) std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(300ms);  // past curl's own short connect-phase timers
  outcome = Await(
      [&](HttpClient::Handler handler) { client.GetAsync(server_.Url("/hang"), handler, 200); },
      5s);
  EXPECT_EQ(outcome.code, TransportCode::kTimedOut);
}

TEST_F(HttpClientTest, OversizedAnswerIsRefused) {
  server_.Route("GET", "/big", [](const FakeRequest&) {
    return FakeResponse::Raw(200, std::string(100000, 'x'));
  });
  HttpClient client(io_.io());
  client.SetMaxResponseBytes(1000);
  Outcome outcome =
      Await([&](HttpClient::Handler handler) { client.GetAsync(server_.Url("/big"), handler, 0); });
  EXPECT_EQ(outcome.code, TransportCode::kWriteError);
}

TEST_F(HttpClientTest, HeadersWithLineBreaksAreNotSent) {
  server_.Route("GET", "/headers", [](const FakeRequest& request) {
    return FakeResponse::Raw(200, request.Header("x-a") + "|" + request.Header("injected"));
  });
  HttpClient client(io_.io());
  client.SetHeader("X-A", "fine");
  client.SetHeader("X-A", "evil\r\nInjected: yes");
  Outcome outcome = Await(
      [&](HttpClient::Handler handler) { client.GetAsync(server_.Url("/headers"), handler, 0); });
  EXPECT_EQ(outcome.response.body, "fine|");
}

// Sends `count` GETs of `path` at once and waits for every answer.
void SendAllAndWait(HttpClient& client, const std::string& url, int count) {
  std::mutex mutex;
  std::condition_variable done;
  int completed = 0;
  for (int i = 0; i < count; ++i) {
    client.GetAsync(
        url,
        [&](TransportCode code, const http::Response&) {
          EXPECT_EQ(code, TransportCode::kOk);
          std::lock_guard<std::mutex> lock(mutex);
          ++completed;
          done.notify_all();
        },
        0);
  }
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, 20s, [&] { return completed == count; }));
}

TEST_F(HttpClientTest, KeptAliveConnectionsAreReusedWhateverTheNumberInFlight) {
  server_.Route("GET", "/ping", [](const FakeRequest&) { return FakeResponse(); });
  for (int i = 0; i < 3; ++i) {
    // A fresh client each time, as every store exchange makes one.
    HttpClient client(io_.io());
    Outcome outcome = Await(
        [&](HttpClient::Handler handler) { client.GetAsync(server_.Url("/ping"), handler, 0); });
    ASSERT_EQ(outcome.code, TransportCode::kOk);
  }
  EXPECT_EQ(server_.ConnectionCount(), 1);

  // Rounds of more requests in flight at once than connections are kept
  // idle: each round needs as many connections, and finds them open.
  server_.Route("GET", "/slow", [](const FakeRequest&) { return FakeResponse{.delay = 100ms}; });
  constexpr int kInFlight = 100;
  HttpClient client(io_.io());
  for (int round = 0; round < 4; ++round) SendAllAndWait(client, server_.Url("/slow"), kInFlight);
  EXPECT_LE(server_.ConnectionCount(), 1 + kInFlight);
}

TEST_F(HttpClientTest, ManyConcurrentRequestsAllComplete) {
  server_.RoutePrefix("GET", "/item/", [](const FakeRequest& request) {
    FakeResponse response;
    response.body = request.path.substr(6);
    response.delay = std::chrono::milliseconds(request.path.size() % 7 * 10);
    return response;
  });
  constexpr int kRequests = 60;
  std::mutex mutex;
  std::condition_variable done;
  int completed = 0;
  int correct = 0;
  HttpClient client(io_.io());
  for (int i = 0; i < kRequests; ++i) {
    const std::string id = std::to_string(i);
    client.GetAsync(
        server_.Url("/item/" + id),
        [&, id](TransportCode code, const http::Response& response) {
          std::lock_guard<std::mutex> lock(mutex);
          ++completed;
          if (code == TransportCode::kOk && response.body == id) ++correct;
          done.notify_all();
        },
        0);
  }
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, 20s, [&] { return completed == kRequests; }));
  EXPECT_EQ(correct, kRequests);
}

TEST(HttpClientLifetimeTest, RequestsInFlightGoWithTheirIoContext) {
  FakeHttpServer server;
  server.Route("GET", "/hang", [](const FakeRequest&) { return FakeResponse::Hang(); });
  auto handler_ran = std::make_shared<std::atomic<bool>>(false);
  {
    TestIoContext io;
    HttpClient client(io.io());
    client.GetAsync(
        server.Url("/hang"),
        [handler_ran](TransportCode, const http::Response&) { *handler_ran = true; }, 0);
    while (server.RequestCount("/hang") == 0) std::this_thread::sleep_for(5ms);
  }
  // The context is gone; its transfer and handler went with it, unrun.
  EXPECT_FALSE(*handler_ran);

  {
    auto io = std::make_shared<IoContext>();
    HttpClient client(io);
    io.reset();
    Outcome outcome = Await([&](HttpClient::Handler handler) {
      client.GetAsync(server.Url("/hang"), handler, 0);
    });
    EXPECT_EQ(outcome.code, TransportCode::kAborted);
  }
}

TEST(HttpFormTest, ValuesArePercentEncodedSoEveryByteArrivesIntact) {
  EXPECT_EQ(http::UrlEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(http::UrlEncode("a&b=c+d e/%"), "a%26b%3Dc%2Bd%20e%2F%25");
  EXPECT_EQ(http::UrlEncode(""), "");
  EXPECT_EQ(http::MakeFormBody({{"grant_type", "refresh_token"}, {"client_secret", "s&x=1+"}}),
            "grant_type=refresh_token&client_secret=s%26x%3D1%2B");

  const std::string tricky = std::string("k\xC3\xA9y &=+%\n\0end", 14);
  FakeRequest request;
  request.body = http::MakeFormBody({{"secret", tricky}, {"empty", ""}});
  auto form = request.Form();
  EXPECT_EQ(form["secret"], tricky);
  EXPECT_EQ(form["empty"], "");
}

}  // namespace
}  // namespace tvx::testing
