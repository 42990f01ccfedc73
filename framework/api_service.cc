#include "framework/api_service.h"

#include <map>
#include <memory>
#include <mutex>

#include <glog/logging.h>

#include "framework/counters.h"
#include "framework/health.h"
#include "framework/http_server.h"
#include "framework/json.h"
#include "framework/metrics.h"

namespace tvx {
namespace {

constexpr char kCountersPath[] = "/v1/counters";
constexpr char kCounterPrefix[] = "/v1/counters/";
constexpr char kJson[] = "application/json";

std::mutex service_mutex;
std::shared_ptr<HttpServer> service;  // GUARDED_BY(service_mutex)
std::map<std::string, HttpServer::Handler> module_routes;  // GUARDED_BY(service_mutex)

bool RefuseMethod(const std::shared_ptr<HttpSocket>& socket, const http::Request2& request) {
  if (request.method == "GET") return false;
  Json error = Json::Object();
  error.SetString("error", "only GET is served");
  socket->SendResponse(405, error.ToString(), kJson);
  return true;
}

void OnListCounters(const std::shared_ptr<HttpSocket>& socket,
                    const std::shared_ptr<http::Request2>& request) {
  if (RefuseMethod(socket, *request)) return;
  Json list = Json::Array();
  for (const CounterInfo& info : ListCallableCounters()) {
    Json entry = Json::Object();
    entry.SetString("category", info.category);
    entry.SetString("name", info.name);
    entry.SetString("description", info.description);
    list.PushBack(std::move(entry));
  }
  Json body = Json::Object();
  body.SetAttribute("counters", std::move(list));
  socket->SendResponse(200, body.ToString(), kJson);
}

void AnswerNotFound(const std::shared_ptr<HttpSocket>& socket, const std::string& path) {
  Json body = Json::Object();
  body.SetString("error", "not found");
  body.SetString("path", path);
  socket->SendResponse(404, body.ToString(), kJson);
}

// Everything the service does not know gets a JSON answer too.
void OnUnknownPath(const std::shared_ptr<HttpSocket>& socket,
                   const std::shared_ptr<http::Request2>& request) {
  HttpServer::Handler route;
  {
    std::lock_guard<std::mutex> lock(service_mutex);
    auto it = module_routes.find(request->path);
    if (it != module_routes.end()) route = it->second;
  }
  if (route) {
    if (RefuseMethod(socket, *request)) return;
    return route(socket, request);
  }
  AnswerNotFound(socket, request->path);
}

// "/v1/counters/<category>/<name>": exactly two non-empty segments.
void OnCallCounter(const std::shared_ptr<HttpSocket>& socket,
                   const std::shared_ptr<http::Request2>& request) {
  if (RefuseMethod(socket, *request)) return;
  const std::string rest = request->path.substr(sizeof(kCounterPrefix) - 1);
  const size_t slash = rest.find('/');
  const bool well_formed = slash != std::string::npos && slash > 0 && slash + 1 < rest.size() &&
                           rest.find('/', slash + 1) == std::string::npos;
  Json body;
  int status = 404;
  if (well_formed) {
    status = CallCounter(rest.substr(0, slash), rest.substr(slash + 1), &body);
  }
  if (status == 404 && body.IsNull()) return AnswerNotFound(socket, request->path);
  socket->SendResponse(status, body.ToString(), kJson);
}

void OnMetrics(const std::shared_ptr<HttpSocket>& socket,
               const std::shared_ptr<http::Request2>& request) {
  if (RefuseMethod(socket, *request)) return;
  socket->SendResponse(200, metrics::Exposition(), metrics::kContentType);
}

void OnHealth(const std::shared_ptr<HttpSocket>& socket,
              const std::shared_ptr<http::Request2>& request) {
  if (RefuseMethod(socket, *request)) return;
  socket->SendResponse(200, R"({"status": "ok"})", kJson);
}

void OnReady(const std::shared_ptr<HttpSocket>& socket,
             const std::shared_ptr<http::Request2>& request) {
  if (RefuseMethod(socket, *request)) return;
  const std::string reason = health::NotReadyReason();
  if (reason.empty()) {
    socket->SendResponse(200, R"({"status": "ready"})", kJson);
    return;
  }
  socket->SendResponse(503, R"({"status": "not ready", "reason": )" + Json(reason).ToString() + "}",
                       kJson);
}

}  // namespace

bool ApiService::Start(const std::string& io_group, uint16_t port,
                       const std::string& bind_address) {
  std::lock_guard<std::mutex> lock(service_mutex);
  if (service) return false;
  HttpServerOptions options;
  options.bind_address = bind_address;
  auto server = HttpServer::Create(io_group, options);
  if (!server) {
    LOG(ERROR) << "ApiService: no io group " << io_group;
    return false;
  }
  server->RegisterHandler(kCountersPath, &OnListCounters);
  server->RegisterHandler("/metrics", &OnMetrics);
  server->RegisterHandler("/healthz", &OnHealth);
  server->RegisterHandler("/readyz", &OnReady);
  server->RegisterPrefixHandler(kCounterPrefix, &OnCallCounter);
  server->RegisterPrefixHandler("/", &OnUnknownPath);
  if (!server->Start(port)) return false;
  LOG(INFO) << "ApiService: listening on port " << server->port();
  service = std::move(server);
  return true;
}

void ApiService::Stop() {
  std::shared_ptr<HttpServer> server;
  {
    std::lock_guard<std::mutex> lock(service_mutex);
    server = std::move(service);
  }
  if (server) server->Stop();
}

void ApiService::SetRoute(const std::string& path, HttpServer::Handler handler) {
  std::lock_guard<std::mutex> lock(service_mutex);
  if (handler) {
    module_routes[path] = std::move(handler);
  } else {
    module_routes.erase(path);
  }
}

uint16_t ApiService::port() {
  std::lock_guard<std::mutex> lock(service_mutex);
  return service ? service->port() : 0;
}

}  // namespace tvx
