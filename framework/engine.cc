#include "framework/engine.h"

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

namespace tvx {

bool ArgumentMap::LoadFromString(const std::string& text, std::string* error) {
  Json parsed;
  std::string message;
  if (!parsed.FromString(text, [&](const std::string& m) { message = m; })) {
    *error = "arguments are not JSON: " + message;
    return false;
  }
  if (!parsed.IsObject()) {
    *error = "arguments are not a JSON object";
    return false;
  }
  arguments_ = std::move(parsed);
  return true;
}

bool ArgumentMap::LoadFromFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read arguments file " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!LoadFromString(text.str(), error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

Json ArgumentMap::FindArgument(const std::string& name) const {
  return arguments_.GetAttribute(name);
}

bool ArgumentMap::HasArgument(const std::string& name) const {
  return arguments_.HasAttribute(name);
}

namespace {

std::mutex engine_mutex;
std::string res_root;                    // GUARDED_BY(engine_mutex)
std::function<void()> shutdown_handler;  // GUARDED_BY(engine_mutex)
std::atomic<bool> shutdown_requested{false};

}  // namespace

const std::string& GetResRoot() {
  // Set once by the host before install; read-only afterwards.
  return res_root;
}

void SetResRoot(const std::string& root) {
  std::lock_guard<std::mutex> lock(engine_mutex);
  res_root = root;
}

void SetShutDownEngineHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(engine_mutex);
  shutdown_handler = std::move(handler);
}

void SetToShutDownEngine() {
  shutdown_requested = true;
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(engine_mutex);
    handler = shutdown_handler;
  }
  if (handler) handler();
}

bool IsShutDownRequested() { return shutdown_requested; }

}  // namespace tvx
