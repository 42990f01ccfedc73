// biller-bench-store: a fast stand-in for Google Play's token and purchase
// endpoints, so that the store is never what limits a benchmark. Runs on the
// framework's own HTTP server and io group; answers can be held back by a
// fixed delay (a timer per request, no thread parked), which is how the
// benchmarks park thousands of validations on a slow store.
//
//   POST /token                                     an access token (both grants)
//   GET  /androidpublisher/v3/applications/<package>/purchases/products/<product>/tokens/<token>
//                                                   a purchased, unconsumed product
//   GET  /stats                                     {"token_requests":n,"purchase_requests":m}
//
// Point the biller at it with the install argument "store_endpoints":
// {"google_oauth_token_url": "http://127.0.0.1:<port>/token",
//  "google_jwt_token_url": "http://127.0.0.1:<port>/token",
//  "google_api_base": "http://127.0.0.1:<port>"}
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include <gflags/gflags.h>

#include "framework/deadline_timer.h"
#include "framework/http_server.h"
#include "framework/io_service.h"
#include "framework/json.h"

DEFINE_int32(port, 18090, "listening port (0 picks one and prints it)");
DEFINE_int32(threads, 1, "io threads");
DEFINE_int64(delay_ms, 0, "delay before every purchase answer, in milliseconds");
DEFINE_int64(token_delay_ms, 0, "delay before every token answer, in milliseconds");
DEFINE_int64(max_connections, 19'000, "open connections accepted at most");

namespace {

constexpr char kPurchasePrefix[] = "/androidpublisher/v3/applications/";

std::atomic<int64_t> token_requests{0};
std::atomic<int64_t> purchase_requests{0};

// Answers now, or after `delay` on a timer of the io group.
void Answer(const std::shared_ptr<tvx::HttpSocket>& socket, std::string body,
            std::chrono::milliseconds delay) {
  if (delay.count() <= 0) {
    socket->SendResponse(body, "application/json");
    return;
  }
  std::shared_ptr<tvx::DeadlineTimer> timer =
      tvx::DeadlineTimer::Create(tvx::IoService::GetIoGroup("default"));
  timer->ExpiresAfter(delay);
  timer->AsyncWait([socket, timer, body = std::move(body)](const boost::system::error_code&) {
    socket->SendResponse(body, "application/json");
  });
}

std::string TokenAnswer() {
  tvx::Json answer = tvx::Json::Object();
  answer.SetString("access_token", "bench-access-token");
  answer.SetAttribute("expires_in", tvx::Json(static_cast<int64_t>(3600)));
  answer.SetString("token_type", "Bearer");
  return answer.ToString();
}

// A purchased, acknowledged, unconsumed product whose order id follows the
// purchase token, so that unique tokens make unique orders.
std::string PurchaseAnswer(const std::string& path) {
  const std::string token = path.substr(path.rfind('/') + 1);
  tvx::Json answer = tvx::Json::Object();
  answer.SetString("kind", "androidpublisher#productPurchase");
  answer.SetString("purchaseTimeMillis", "1764979200000");
  answer.SetAttribute("purchaseState", tvx::Json(static_cast<int64_t>(0)));
  answer.SetAttribute("consumptionState", tvx::Json(static_cast<int64_t>(0)));
  answer.SetString("developerPayload", "");
  answer.SetString("orderId", "GPA.bench-" + token);
  answer.SetAttribute("purchaseType", tvx::Json(static_cast<int64_t>(0)));
  answer.SetAttribute("acknowledgementState", tvx::Json(static_cast<int64_t>(1)));
  return answer.ToString();
}

}  // namespace

int main(int argc, char** argv) {
  gflags::SetUsageMessage("fast fake Google Play store for benchmarks");
  gflags::ParseCommandLineFlags(&argc, &argv, true);

  // Parking thousands of requests takes as many descriptors.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  if (!tvx::IoService::CreateIoGroup("default", FLAGS_threads)) return 2;
  tvx::HttpServerOptions options;
  options.max_connections = static_cast<size_t>(FLAGS_max_connections);
  auto server = tvx::HttpServer::Create("default", options);
  const auto purchase_delay = std::chrono::milliseconds(FLAGS_delay_ms);
  const auto token_delay = std::chrono::milliseconds(FLAGS_token_delay_ms);
  server->RegisterHandler("/token", [token_delay](const auto& socket, const auto&) {
    ++token_requests;
    Answer(socket, TokenAnswer(), token_delay);
  });
  server->RegisterPrefixHandler(kPurchasePrefix,
                                [purchase_delay](const auto& socket, const auto& request) {
                                  ++purchase_requests;
                                  Answer(socket, PurchaseAnswer(request->path), purchase_delay);
                                });
  server->RegisterHandler("/stats", [](const auto& socket, const auto&) {
    tvx::Json stats = tvx::Json::Object();
    stats.SetAttribute("token_requests", tvx::Json(token_requests.load()));
    stats.SetAttribute("purchase_requests", tvx::Json(purchase_requests.load()));
    socket->SendResponse(stats.ToString(), "application/json");
  });
  if (!server->Start(static_cast<uint16_t>(FLAGS_port))) {
    std::fprintf(stderr, "biller-bench-store: cannot listen on port %d\n", FLAGS_port);
    return 1;
  }
  std::printf("listening on %u\n", server->port());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&signals, &signal);
  server->Stop();
  tvx::IoService::DestroyAll();
  return 0;
}
