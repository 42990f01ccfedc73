// Length-prefixed frames and the TCP server's limits on real loopback
// connections, and the shared acceptor's pause when descriptors run out.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "framework/acceptor.h"
#include "framework/io_service.h"
#include "framework/tcp.h"
#include "tests/support/eventually.h"
#include "tests/support/biller_process.h"

namespace tvx::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kGroup[] = "tcp_server_test";

TEST(FramingTest, DecodesFramesAcrossArbitraryReadBoundaries) {
  const std::vector<std::string> bodies = {"", "a", std::string(1000, 'x'), "hello",
                                           std::string(70000, 'y')};
  std::string stream;
  for (const auto& b : bodies) stream += framing::EncodeFrame(b);
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    framing::FrameDecoder decoder(1 << 20);
    std::vector<std::string> out;
    for (size_t at = 0, n; at < stream.size(); at += n) {
      n = std::min<size_t>(stream.size() - at, 1 + random() % 300);
      decoder.Append(stream.data() + at, n);
      std::string body;
      while (decoder.Next(&body) == framing::FrameDecoder::Result::kFrame) out.push_back(body);
    }
    ASSERT_EQ(out, bodies) << "round " << round;
    EXPECT_EQ(decoder.buffered(), 0u);
  }
}

// A server whose connections answer "echo:<text>" with <text> at once and
// keep "hold" requests unanswered until Release.
class TcpServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { IoService::CreateIoGroup(kGroup, 2); }
  static void TearDownTestSuite() { IoService::DestroyAll(); }

  void TearDown() override {
    if (server_) server_->Stop();
    { std::lock_guard<std::mutex> lock(mutex_); held_.clear(); }
    std::this_thread::sleep_for(200ms);  // the closed connections' last handlers run
  }

  void StartServer(const TcpServerOptions& options) {
    server_ = TcpServer::Create(kGroup, TcpSSLOption::kNullPtr, [this] {
      auto transport = TcpTransport::Create(kGroup, TcpSSLOption::kNullPtr,
                                            TransportCompressor::kNullPtr, true);
      transport->SetReceiveHandler([this](const Transport::Ptr& t, const HeaderMap&,
                                          const Buffer& body) {
        ++received_;
        t->BeginRequest();
        if (body.bytes() == "hold") {
          std::lock_guard<std::mutex> lock(mutex_);
          held_.push_back(t);
          return;
        }
        t->Send(Buffer(body.bytes().substr(5)), 100);
        t->EndRequest();
      });
      return transport->ToSocketBase();
    });
    ASSERT_NE(server_, nullptr);
    server_->SetOptions(options);
    ASSERT_TRUE(server_->Start(0));
  }

  void Release(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    ASSERT_FALSE(held_.empty());
    Transport::Ptr transport = held_.front();
    held_.erase(held_.begin());
    lock.unlock();
    transport->Send(Buffer(text), 100);
    transport->EndRequest();
  }

  std::shared_ptr<TcpServer> server_;
  std::atomic<int> received_{0};
  std::mutex mutex_;
  std::vector<Transport::Ptr> held_;  // GUARDED_BY(mutex_)
};

// Drain is checked end to end, where a process stops with requests in flight.
TEST_F(TcpServerTest, SlowFramesAndTheInFlightLimit) {
  StartServer({.frame_timeout = 1500ms, .idle_timeout = 2000ms, .max_inflight_per_connection = 2});
  TcpClient silent, waiting, trickle, client, other;
  for (TcpClient* c : {&silent, &waiting, &trickle}) ASSERT_TRUE(c->Connect(server_->port()));
  ASSERT_TRUE(waiting.Send(framing::EncodeFrame("hold")));
  // Frames that come in pieces, each piece ending one frame and beginning the
  // next well within its deadline, keep their connection, however long they
  // take in all.
  std::string frames;
  for (int i = 0; i < 4; ++i) frames += framing::EncodeFrame("echo:" + std::to_string(i));
  ASSERT_TRUE(trickle.Send(frames.substr(0, 6)));
  for (int i = 0; i < 4; ++i) {
    std::this_thread::sleep_for(400ms);  // 1.6 s in all, past one frame's deadline
    ASSERT_TRUE(trickle.Send(frames.substr(6 + 10 * i, 10)));
    EXPECT_EQ(trickle.ReceiveFrame(), std::to_string(i));
  }

  EXPECT_TRUE(silent.WaitForClose(5s));
  ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() <= 2; }));
  Release("late");
  EXPECT_EQ(waiting.ReceiveFrame(), "late");

  received_ = 0;
  ASSERT_TRUE(client.Connect(server_->port()));
  ASSERT_TRUE(client.Send(framing::EncodeFrame("hold") + framing::EncodeFrame("hold") +
                          framing::EncodeFrame("echo:third") + framing::EncodeFrame("echo:4th")));
  ASSERT_TRUE(Eventually([&] { return received_ == 2; }));
  ASSERT_TRUE(other.Connect(server_->port()));  // served meanwhile
  ASSERT_TRUE(other.Send(framing::EncodeFrame("echo:other")));
  EXPECT_EQ(other.ReceiveFrame(), "other");
  EXPECT_EQ(received_, 3);
  EXPECT_FALSE(client.ReceiveFrame(200ms));
  Release("first");
  for (const char* answer : {"first", "third", "4th"}) EXPECT_EQ(client.ReceiveFrame(), answer);
}

// Out of descriptors, a failed accept is retried after a pause, not at once
// in a loop, and accepting goes on once descriptors are free again.
TEST(AcceptorTest, BacksOffWhileDescriptorsRunOut) {
#if defined(BILLER_SANITIZED_BUILD)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors";
#endif
  IoService::CreateIoGroup("acceptor_test", 1);
  auto io = IoService::GetIoGroup("acceptor_test");
  std::atomic<int> accepted{0};
  auto acceptor = std::make_shared<Acceptor>(
      *io, Acceptor::Options{.name = "test"},
      [&](boost::asio::ip::tcp::socket) { ++accepted; }, nullptr);
  std::string error;
  ASSERT_TRUE(acceptor->Listen("127.0.0.1", 0, &error)) << error;
  acceptor->Start();

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  // Take every descriptor below a limit just above the highest in use.
  const int limit = ::fcntl(client, F_DUPFD, 0) + 8;
  std::vector<int> fillers = {limit - 8};
  uint64_t failures = 0;
  [&] {  // a failed ASSERT leaves this block only: the limit is restored after it
    rlimit lowered{static_cast<rlim_t>(limit), saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd; (fd = ::dup(client)) >= 0;) fillers.push_back(fd);
    sockaddr_in address{AF_INET, htons(acceptor->port()), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_TRUE(Eventually([&] { return acceptor->failed_accepts() > 0; }));
    std::this_thread::sleep_for(300ms);
    failures = acceptor->failed_accepts();
  }();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  for (int fd : fillers) ::close(fd);
  EXPECT_LE(failures, 10u) << "accept retried without a pause";
  EXPECT_TRUE(Eventually([&] { return accepted == 1; }));
  acceptor->Close();
  ::close(client);
  IoService::DestroyAll();
}

}  // namespace
}  // namespace tvx::testing
