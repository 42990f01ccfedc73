#include "framework/counters.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace tvx {
namespace {

struct Counter {
  std::string description;
  CounterProvider provider;
};

using CounterKey = std::pair<std::string, std::string>;  // category, name

std::mutex counters_mutex;
// Entries are shared so that a call can run its provider after the lock is
// released, even if the counter is unregistered meanwhile.
std::map<CounterKey, std::shared_ptr<const Counter>> counters;  // GUARDED_BY(counters_mutex)

}  // namespace

bool RegisterCallableCounter(const std::string& category, const std::string& name,
                             const std::string& description, CounterProvider provider) {
  if (!provider) return false;
  auto counter = std::make_shared<const Counter>(Counter{description, std::move(provider)});
  std::lock_guard<std::mutex> lock(counters_mutex);
  return counters.emplace(CounterKey(category, name), std::move(counter)).second;
}

bool UnregisterCallableCounter(const std::string& category, const std::string& name) {
  std::shared_ptr<const Counter> doomed;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(counters_mutex);
  auto it = counters.find(CounterKey(category, name));
  if (it == counters.end()) return false;
  doomed = std::move(it->second);
  counters.erase(it);
  return true;
}

int CallCounter(const std::string& category, const std::string& name, Json* out) {
  std::shared_ptr<const Counter> counter;
  {
    std::lock_guard<std::mutex> lock(counters_mutex);
    auto it = counters.find(CounterKey(category, name));
    if (it != counters.end()) counter = it->second;
  }
  Json ignored;
  if (!out) out = &ignored;
  *out = Json();
  if (!counter) return 404;
  const int status = counter->provider(out);
  return status >= 100 && status <= 599 ? status : 500;
}

std::vector<CounterInfo> ListCallableCounters() {
  std::vector<CounterInfo> list;
  std::lock_guard<std::mutex> lock(counters_mutex);
  list.reserve(counters.size());
  for (const auto& [key, counter] : counters) {
    list.push_back(CounterInfo{key.first, key.second, counter->description});
  }
  return list;
}

}  // namespace tvx
