// The HTTP server on real loopback connections.
#include "framework/http_server.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "framework/io_service.h"
#include "tests/support/eventually.h"
#include "tests/support/http_test_client.h"

namespace tvx {
namespace {

using namespace std::chrono_literals;
using testing::HttpTestConnection;
using testing::MakeHttpRequest;

constexpr char kGroup[] = "http_server_test";

using testing::Eventually;

std::string Describe(const http::Request2& request) {
  return request.method + "|" + request.path + "|" + request.target + "|" + request.body;
}

class HttpServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { IoService::CreateIoGroup(kGroup, 2); }
  static void TearDownTestSuite() { IoService::DestroyAll(); }

  void TearDown() override {
    if (server_) {
      server_->Stop();
      EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& thread : late_threads_) thread.join();
  }

  // /echo answers at once; /late answers from another thread after the
  // number of milliseconds in the body and counts the SendResponse calls that
  // reported sending. `extra` registers more.
  void StartServer(HttpServerOptions options = {},
                   const std::function<void(HttpServer&)>& extra = nullptr) {
    server_ = HttpServer::Create(kGroup, options);
    ASSERT_NE(server_, nullptr);
    server_->RegisterHandler("/echo", [](const auto& socket, const auto& request) {
      socket->SendResponse(Describe(*request), "text/plain");
    });
    server_->RegisterHandler("/late", [this](const auto& socket, const auto& request) {
      ++late_received_;
      std::lock_guard<std::mutex> lock(mutex_);
      late_threads_.emplace_back([this, socket, request] {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(request->body.c_str())));
        if (socket->SendResponse(Describe(*request), "text/plain")) ++late_sent_;
        // Only the first answer of a request counts.
        if (socket->SendResponse("again", "text/plain")) ++late_sent_;
        ++late_done_;
      });
    });
    if (extra) extra(*server_);
    ASSERT_TRUE(server_->Start(0));
    ASSERT_FALSE(server_->RegisterHandler("/after_start", [](const auto&, const auto&) {}));
  }

  HttpTestConnection Connect() {
    HttpTestConnection connection;
    EXPECT_TRUE(connection.Connect(server_->port()));
    return connection;
  }

  std::shared_ptr<HttpServer> server_;
  std::atomic<int> late_received_{0}, late_sent_{0}, late_done_{0};
  std::mutex mutex_;
  std::vector<std::thread> late_threads_;  // GUARDED_BY(mutex_)
};

TEST_F(HttpServerTest, KeepAliveServesRequestsInOrderOnOneConnection) {
  StartServer();
  HttpTestConnection client = Connect();
  for (int i = 0; i < 3; ++i) {
    auto reply = client.Exchange(MakeHttpRequest("POST", "/late", "20"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "POST|/late|/late|20");
    EXPECT_NE(reply->Header("connection"), "close");
  }
  // Pipelined: the first answer comes late from another thread, the others
  // would be ready at once; they still leave in request order.
  ASSERT_TRUE(client.Send(MakeHttpRequest("POST", "/late", "150") +
                          MakeHttpRequest("POST", "/echo", "second") +
                          MakeHttpRequest("GET", "/echo?third=3")));
  for (const char* expected : {"POST|/late|/late|150", "POST|/echo|/echo|second",
                               "GET|/echo|/echo?third=3|"}) {
    auto reply = client.Read();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, expected);
  }
  EXPECT_EQ(server_->ConnectionCount(), 1u);
  EXPECT_TRUE(Eventually([&] { return late_done_ == 4; }));
  EXPECT_EQ(late_sent_, 4);
}

TEST_F(HttpServerTest, RoutesByExactPathThenLongestPrefix) {
  StartServer({}, [](HttpServer& server) {
    auto named = [](std::string name) {
      return [name](const auto& socket, const auto&) { socket->SendResponse(name, "text/plain"); };
    };
    server.RegisterPrefixHandler("/v1/", named("short prefix"));
    server.RegisterPrefixHandler("/v1/counters/", named("long prefix"));
    server.RegisterHandler("/v1/counters/exact", named("exact"));
  });
  HttpTestConnection client = Connect();
  auto answer = [&](const std::string& target) {
    auto reply = client.Exchange(MakeHttpRequest("GET", target));
    return reply ? std::to_string(reply->status) + " " + reply->body : "no answer";
  };
  EXPECT_EQ(answer("/v1/counters/exact"), "200 exact");
  EXPECT_EQ(answer("/v1/counters/exact/more"), "200 long prefix");
  EXPECT_EQ(answer("/v1/other"), "200 short prefix");
  EXPECT_EQ(answer("/echo/"), "404 not found\n");
  EXPECT_EQ(answer("/after_start"), "404 not found\n");
  EXPECT_EQ(answer("/echo"), "200 GET|/echo|/echo|");  // a 404 keeps the connection
}

TEST_F(HttpServerTest, OversizedOrMalformedRequestsAreRefusedAndClosed) {
  HttpServerOptions options;
  options.body_limit = 1000;
  options.header_limit = 1024;
  StartServer(options);

  auto reply = Connect().Exchange(MakeHttpRequest("POST", "/echo", std::string(1000, 'a')));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200) << "a body exactly at the limit is served";

  std::string chunked = "POST /echo HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) chunked += "190\r\n" + std::string(400, 'b') + "\r\n";
  const std::pair<std::string, int> refusals[] = {
      // Refused on the declared length, before any body is sent.
      {"POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 1001\r\n\r\n", 413},
      {chunked + "0\r\n\r\n", 413},
      {MakeHttpRequest("GET", "/echo", "", "X-Filler: " + std::string(2000, 'x') + "\r\n"), 431},
      {"this is not http\r\n\r\n", 400},
  };
  for (const auto& [request, status] : refusals) {
    HttpTestConnection client = Connect();
    reply = client.Exchange(request);
    ASSERT_TRUE(reply) << status;
    EXPECT_EQ(reply->status, status);
    EXPECT_EQ(reply->Header("connection"), "close");
    EXPECT_TRUE(client.WaitForClose(5s)) << status;
  }
}

TEST_F(HttpServerTest, ExpectContinueGetsAnInterimAnswerBeforeTheBody) {
  StartServer();
  HttpTestConnection client = Connect();
  auto interim = client.Exchange(
      "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n");
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100);
  auto reply = client.Exchange("hello");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, "POST|/echo|/echo|hello");
}

TEST_F(HttpServerTest, ConnectionCloseIsHonoured) {
  StartServer();
  HttpTestConnection client = Connect();
  auto reply = client.Exchange(MakeHttpRequest("GET", "/echo", "", "Connection: close\r\n"));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->Header("connection"), "close");
  EXPECT_TRUE(client.WaitForClose(5s));

  // HTTP/1.0 closes unless asked to keep alive.
  HttpTestConnection old = Connect();
  ASSERT_TRUE(old.Exchange("GET /echo HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(old.WaitForClose(5s));
  HttpTestConnection old_kept = Connect();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(old_kept.Exchange("GET /echo HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
  }
}

TEST_F(HttpServerTest, IdleAndSlowConnectionsAreClosed) {
  HttpServerOptions options;
  options.idle_timeout = 200ms;
  options.read_timeout = 300ms;
  StartServer(options);

  HttpTestConnection idle = Connect();  // kept alive after a request, then silent
  ASSERT_TRUE(idle.Exchange(MakeHttpRequest("GET", "/echo")));
  HttpTestConnection silent = Connect();  // never sends anything
  HttpTestConnection slow_header = Connect();
  ASSERT_TRUE(slow_header.Send("POST /echo HTTP/1.1\r\nHost: x\r\n"));
  HttpTestConnection slow_body = Connect();
  ASSERT_TRUE(slow_body.Send("POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc"));

  for (auto* connection : {&idle, &silent, &slow_header, &slow_body}) {
    EXPECT_TRUE(connection->WaitForClose(3s));
  }
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
}

TEST_F(HttpServerTest, EveryRequestEndsInAnAnswerEvenWithoutTheHandler) {
  HttpServerOptions options;
  options.response_timeout = 300ms;
  std::shared_ptr<HttpSocket> hoarded;
  StartServer(options, [&](HttpServer& server) {
    server.RegisterHandler("/status", [](const auto& socket, const auto& request) {
      socket->SendResponse(std::atoi(request->body.c_str()), "x", "text/plain");
    });
    server.RegisterHandler("/forget", [](const auto&, const auto&) {});
    server.RegisterHandler("/hoard", [&](const auto& socket, const auto&) { hoarded = socket; });
  });
  HttpTestConnection client = Connect();
  auto status_of = [&](const std::string& path, const std::string& body = "") {
    auto reply = client.Exchange(MakeHttpRequest("POST", path, body));
    return reply ? reply->status : 0;
  };
  EXPECT_EQ(status_of("/status", "503"), 503);
  // Statuses that cannot end a request become 500.
  EXPECT_EQ(status_of("/status", "101"), 500);
  EXPECT_EQ(status_of("/status", "1000"), 500);
  EXPECT_EQ(status_of("/forget"), 500);
  EXPECT_EQ(status_of("/hoard"), 503);
  EXPECT_TRUE(client.WaitForClose(5s));

  // The hoarded socket does not keep the connection alive, and once the
  // connection is gone it refuses to answer.
  EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
  ASSERT_NE(hoarded, nullptr);
  EXPECT_FALSE(hoarded->SendResponse("too late", "text/plain"));
}

TEST_F(HttpServerTest, ManyConcurrentKeepAliveConnections) {
  StartServer();
  constexpr int kClients = 64;
  constexpr int kRequestsEach = 20;
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      HttpTestConnection client;
      if (!client.Connect(server_->port())) return;
      for (int r = 0; r < kRequestsEach; ++r) {
        // Every fourth answer comes from another thread.
        const bool late = (c + r) % 4 == 0;
        const std::string path = late ? "/late" : "/echo";
        const std::string body = late ? "1" : std::to_string(c) + "/" + std::to_string(r);
        auto reply = client.Exchange(MakeHttpRequest("POST", path, body));
        if (reply && reply->body == "POST|" + path + "|" + path + "|" + body) ++good;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(good.load(), kClients * kRequestsEach);
}

TEST_F(HttpServerTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
  HttpServerOptions options;
  options.max_connections = 2;
  StartServer(options);
  HttpTestConnection first = Connect();
  HttpTestConnection second = Connect();
  ASSERT_TRUE(first.Exchange(MakeHttpRequest("GET", "/echo")));
  ASSERT_TRUE(second.Exchange(MakeHttpRequest("GET", "/echo")));
  HttpTestConnection third = Connect();
  EXPECT_TRUE(third.WaitForClose(5s));
  EXPECT_TRUE(first.Exchange(MakeHttpRequest("GET", "/echo")));

  second.Close();  // frees a place
  ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() == 1; }));
  auto reply = Connect().Exchange(MakeHttpRequest("GET", "/echo"));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
}

TEST_F(HttpServerTest, StopClosesConnectionsAndFreesThePort) {
  StartServer();
  const uint16_t port = server_->port();
  auto competitor = HttpServer::Create(kGroup);
  EXPECT_FALSE(competitor->Start(port));

  HttpTestConnection kept = Connect();
  ASSERT_TRUE(kept.Exchange(MakeHttpRequest("GET", "/echo")));
  HttpTestConnection waiting = Connect();  // its answer comes after Stop
  ASSERT_TRUE(waiting.Send(MakeHttpRequest("POST", "/late", "300")));
  ASSERT_TRUE(Eventually([&] { return late_received_ == 1; }));

  server_->Stop();
  server_->Stop();
  EXPECT_TRUE(kept.WaitForClose(5s));
  EXPECT_TRUE(waiting.WaitForClose(5s));
  auto again = HttpServer::Create(kGroup);
  EXPECT_TRUE(again->Start(port)) << "the port is still held";
  again->Stop();
  // The late answer to the closed connection is refused harmlessly.
  EXPECT_TRUE(Eventually([&] { return late_done_ == 1; }));
  EXPECT_EQ(late_sent_, 0);
}

TEST_F(HttpServerTest, DrainAnswersTheRequestsUnderWayThenCloses) {
  StartServer();
  const uint16_t port = server_->port();
  HttpTestConnection idle = Connect();  // kept alive, no request under way
  ASSERT_TRUE(idle.Exchange(MakeHttpRequest("GET", "/echo")));
  HttpTestConnection waiting = Connect();
  ASSERT_TRUE(waiting.Send(MakeHttpRequest("POST", "/late", "300")));
  ASSERT_TRUE(Eventually([&] { return late_received_ == 1; }));

  server_->Drain();
  EXPECT_FALSE(HttpTestConnection().Connect(port));
  EXPECT_TRUE(idle.WaitForClose(5s));
  auto reply = waiting.Read();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->body, "POST|/late|/late|300");
  EXPECT_EQ(reply->Header("connection"), "close");
  EXPECT_TRUE(waiting.WaitForClose(5s));
}

}  // namespace
}  // namespace tvx
