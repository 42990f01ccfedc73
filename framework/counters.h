// Callable counters: named providers that fill a Json on demand. The api
// service answers GET /v1/counters/<category>/<name> with the provider's Json
// and the HTTP status it returns.
#ifndef FRAMEWORK_COUNTERS_H_
#define FRAMEWORK_COUNTERS_H_

#include <functional>
#include <string>
#include <vector>

#include "framework/json.h"

namespace tvx {

// Fills the Json and returns an HTTP status (200 when all is well). Called on
// an api-service thread, without any registry lock held, so it may itself
// use the registry; must not block for long.
using CounterProvider = std::function<int(Json* out)>;

// False when (category, name) is already registered or the provider is empty.
// Thread-safe, like every function here.
bool RegisterCallableCounter(const std::string& category, const std::string& name,
                             const std::string& description, CounterProvider provider);
// A call already under way finishes with the provider it started with.
bool UnregisterCallableCounter(const std::string& category, const std::string& name);

// Runs the provider of (category, name); 404 and a null Json when there is
// none. A provider status outside 100..599 is reported as 500.
int CallCounter(const std::string& category, const std::string& name, Json* out);

struct CounterInfo {
  std::string category;
  std::string name;
  std::string description;
};
// Every registered counter, ordered by category, then name.
std::vector<CounterInfo> ListCallableCounters();

}  // namespace tvx

#endif  // FRAMEWORK_COUNTERS_H_
