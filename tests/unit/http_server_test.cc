// The HTTP server on real loopback connections.
#include "framework/http_server.h"

#include <array>
#include <atomic>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "framework/io_service.h"
#include "tests/support/eventually.h"
#include "tests/support/loopback_connection.h"

namespace tvx::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kGroup[] = "http_server_test";

std::string Describe(const http::Request2& r) {
  return r.method + "|" + r.path + "|" + r.target + "|" + r.body;
}
std::string Summary(const std::optional<HttpResult>& reply) {
  return reply ? std::to_string(reply->status) + " " + reply->body : "none";
}

// /echo answers at once; /late answers from another thread after the number
// of milliseconds in the body, then tries a second answer; /status answers
// with the status in the body; /forget never answers; /hoard keeps the socket.
class HttpServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { IoService::CreateIoGroup(kGroup, 2); }
  static void TearDownTestSuite() { IoService::DestroyAll(); }
  void TearDown() override {
    if (server_) server_->Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& thread : late_threads_) thread.join();
  }

  void StartServer(HttpServerOptions options = {}) {
    server_ = HttpServer::Create(kGroup, options);
    ASSERT_NE(server_, nullptr);
    auto named = [](std::string name) {
      return [name](const auto& socket, const auto&) { socket->SendResponse(name, "text/plain"); };
    };
    server_->RegisterPrefixHandler("/v1/", named("short prefix"));
    server_->RegisterPrefixHandler("/v1/counters/", named("long prefix"));
    server_->RegisterHandler("/v1/counters/exact", named("exact"));
    server_->RegisterHandler("/echo", [](const auto& socket, const auto& request) {
      socket->SendResponse(Describe(*request), "text/plain");
    });
    server_->RegisterHandler("/status", [](const auto& socket, const auto& request) {
      socket->SendResponse(std::atoi(request->body.c_str()), "x", "text/plain");
    });
    server_->RegisterHandler("/forget", [](const auto&, const auto&) {});
    server_->RegisterHandler("/hoard", [this](const auto& s, const auto&) { hoarded_ = s; });
    server_->RegisterHandler("/late", [this](const auto& socket, const auto& request) {
      ++late_received_;
      std::lock_guard<std::mutex> lock(mutex_);
      late_threads_.emplace_back([this, socket, request] {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(request->body.c_str())));
        if (socket->SendResponse(Describe(*request), "text/plain")) ++late_sent_;
        if (socket->SendResponse("again", "text/plain")) ++late_sent_;
        ++late_done_;
      });
    });
    ASSERT_TRUE(server_->Start(0));
    ASSERT_FALSE(server_->RegisterHandler("/after_start", [](const auto&, const auto&) {}));
  }

  HttpTestConnection Connect() {
    HttpTestConnection connection;
    EXPECT_TRUE(connection.Connect(server_->port()));
    return connection;
  }

  std::shared_ptr<HttpServer> server_;
  std::shared_ptr<HttpSocket> hoarded_;
  std::atomic<int> late_received_{0}, late_sent_{0}, late_done_{0};
  std::mutex mutex_;
  std::vector<std::thread> late_threads_;  // GUARDED_BY(mutex_)
};

TEST_F(HttpServerTest, EveryRequestGetsOneAnswerInOrderFromItsRouteWithinTheConnectionCap) {
  HttpServerOptions options;
  options.response_timeout = 300ms;
  options.max_connections = 2;
  StartServer(options);
  HttpTestConnection client = Connect();
  ASSERT_TRUE(client.Send(MakeHttpRequest("POST", "/late", "20") +
                          MakeHttpRequest("POST", "/late", "150") +
                          MakeHttpRequest("POST", "/echo", "second") +
                          MakeHttpRequest("GET", "/echo?third=3")));
  for (const char* expected : {"POST|/late|/late|20", "POST|/late|/late|150",
                               "POST|/echo|/echo|second", "GET|/echo|/echo?third=3|"}) {
    EXPECT_EQ(Summary(client.Read()), std::string("200 ") + expected);
  }
  // Statuses that cannot end a request, and requests left unanswered, get 500.
  for (const auto& [target, body, answer] : std::vector<std::array<std::string, 3>>{
           {"/v1/counters/exact", "", "200 exact"},
           {"/v1/counters/exact/more", "", "200 long prefix"},
           {"/v1/other", "", "200 short prefix"}, {"/echo/", "", "404 not found\n"},
           {"/after_start", "", "404 not found\n"}, {"/status", "503", "503 x"},
           {"/status", "101", "500"}, {"/status", "1000", "500"}, {"/forget", "", "500"},
           {"/hoard", "", "503"}}) {
    auto reply = Summary(client.Exchange(MakeHttpRequest("POST", target, body)));
    EXPECT_EQ(reply.substr(0, answer.size()), answer) << target << " " << body;
  }
  EXPECT_TRUE(client.WaitForClose(5s));
  EXPECT_TRUE(Eventually([&] { return late_done_ == 2; }));
  EXPECT_EQ(late_sent_, 2);  // the second answers were refused
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
  ASSERT_NE(hoarded_, nullptr);
  EXPECT_FALSE(hoarded_->SendResponse("too late", "text/plain"));

  // Connections beyond the cap are closed at once, until one frees a place.
  HttpTestConnection first = Connect(), second = Connect();
  ASSERT_TRUE(first.Exchange(MakeHttpRequest("GET", "/echo")));
  ASSERT_TRUE(second.Exchange(MakeHttpRequest("GET", "/echo")));
  EXPECT_TRUE(Connect().WaitForClose(5s));
  second.Close();
  ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() == 1; }));
  EXPECT_EQ(Summary(Connect().Exchange(MakeHttpRequest("GET", "/echo"))), "200 GET|/echo|/echo|");
}

// What a client can make the server hold is bounded: bodies, headers and
// time; refusals close the connection, as do the requests that ask for it.
TEST_F(HttpServerTest, OversizedMalformedOrSlowRequestsAreRefusedAndClosed) {
  HttpServerOptions options;
  options.body_limit = 1000;
  options.header_limit = 1024;
  options.idle_timeout = 200ms;
  options.read_timeout = 300ms;
  StartServer(options);
  std::string chunked = "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) chunked += "190\r\n" + std::string(400, 'b') + "\r\n";
  const std::tuple<std::string, int, bool> cases[] = {
      {MakeHttpRequest("POST", "/echo", std::string(1000, 'a')), 200, false},
      // Refused on the declared length, before any body is sent.
      {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1001\r\n\r\n", 413, true},
      {chunked + "0\r\n\r\n", 413, true},
      {MakeHttpRequest("GET", "/echo", "", "X-Filler: " + std::string(2000, 'x') + "\r\n"), 431,
       true},
      {"this is not http\r\n\r\n", 400, true},
      {MakeHttpRequest("GET", "/echo", "", "Connection: close\r\n"), 200, true},
      {"GET /echo HTTP/1.0\r\n\r\n", 200, true},
      {"GET /echo HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 200, false},
  };
  for (const auto& [request, status, closes] : cases) {
    HttpTestConnection client = Connect();
    auto reply = client.Exchange(request);
    ASSERT_TRUE(reply) << request.substr(0, 40);
    EXPECT_EQ(reply->status, status) << request.substr(0, 40);
    if (status != 200) { EXPECT_EQ(reply->Header("connection"), "close"); }
    EXPECT_EQ(client.Exchange(request).has_value(), !closes) << request.substr(0, 40);
  }

  HttpTestConnection client = Connect();
  EXPECT_EQ(client.Exchange("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
                            "Expect: 100-continue\r\n\r\n")->status, 100);
  EXPECT_EQ(Summary(client.Exchange("hello")), "200 POST|/echo|/echo|hello");

  HttpTestConnection silent = Connect(), slow_header = Connect(), slow_body = Connect();
  ASSERT_TRUE(slow_header.Send("POST /echo HTTP/1.1\r\nHost: x\r\n"));
  ASSERT_TRUE(slow_body.Send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc"));
  for (auto* connection : {&client, &silent, &slow_header, &slow_body}) {
    EXPECT_TRUE(connection->WaitForClose(3s));
  }
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
}

TEST_F(HttpServerTest, ManyConcurrentKeepAliveConnections) {
  StartServer();
  constexpr int kClients = 32, kRequestsEach = 20;
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      HttpTestConnection client = Connect();
      for (int r = 0; r < kRequestsEach; ++r) {
        const std::string path = (c + r) % 4 == 0 ? "/late" : "/echo";
        const std::string body =
            path == "/late" ? "1" : std::to_string(c) + "/" + std::to_string(r);
        auto reply = client.Exchange(MakeHttpRequest("POST", path, body));
        if (reply && reply->body == "POST|" + path + "|" + path + "|" + body) ++good;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(good.load(), kClients * kRequestsEach);
}

// Drain answers the request under way, then closes; Stop closes at once and
// the late answer is refused harmlessly. Either way the port is let go.
TEST_F(HttpServerTest, DrainAnswersTheRequestUnderWayAndStopDropsIt) {
  for (const bool drain : {true, false}) {
    late_received_ = late_sent_ = late_done_ = 0;
    StartServer();
    const uint16_t port = server_->port();
    HttpTestConnection idle = Connect(), waiting = Connect();
    ASSERT_TRUE(idle.Exchange(MakeHttpRequest("GET", "/echo")));
    ASSERT_TRUE(waiting.Send(MakeHttpRequest("POST", "/late", "300")));
    ASSERT_TRUE(Eventually([&] { return late_received_ == 1; }));

    drain ? server_->Drain() : server_->Stop();
    EXPECT_TRUE(idle.WaitForClose(5s));
    if (drain) {
      auto reply = waiting.Read();
      EXPECT_EQ(Summary(reply) + "|" + (reply ? reply->Header("connection") : ""),
                "200 POST|/late|/late|300|close");
    }
    EXPECT_TRUE(waiting.WaitForClose(5s));
    server_->Stop();
    auto again = HttpServer::Create(kGroup);
    EXPECT_TRUE(again->Start(port)) << "the port is still held";
    again->Stop();
    EXPECT_TRUE(Eventually([&] { return late_done_ == 1; }));
    EXPECT_EQ(late_sent_, drain ? 1 : 0) << drain;
  }
}

}  // namespace
}  // namespace tvx::testing
