// Callable counters: named providers that fill a Json on demand. The api
// service answers GET /v1/counters/<category>/<name> with the provider's Json
// and the HTTP status it returns.
#ifndef FRAMEWORK_COUNTERS_H_
#define FRAMEWORK_COUNTERS_H_

#include <functional>
#include <string>

#include "framework/json.h"

namespace tvx {

// Fills the Json and returns an HTTP status (200 when all is well). Called on
// an api-service thread; must not block for long.
using CounterProvider = std::function<int(Json* out)>;

// False when (category, name) is already registered.
bool RegisterCallableCounter(const std::string& category, const std::string& name,
                             const std::string& description, CounterProvider provider);
bool UnregisterCallableCounter(const std::string& category, const std::string& name);

// Runs the provider of (category, name); 404 and an empty Json when there is
// none.
int CallCounter(const std::string& category, const std::string& name, Json* out);

}  // namespace tvx

#endif  // FRAMEWORK_COUNTERS_H_
