// Process-level services of the host: install arguments, the resource root and
// the request to shut the process down.
#ifndef FRAMEWORK_ENGINE_H_
#define FRAMEWORK_ENGINE_H_

#include <functional>
#include <map>
#include <string>

#include "framework/json.h"

namespace tvx {

// The install arguments of the module: the members of the object in the
// --arguments_file JSON file.
class ArgumentMap {
 public:
  ArgumentMap() = default;

  // Reads a file holding one JSON object. On failure `error` says why and the
  // map is left empty.
  bool LoadFromFile(const std::string& path, std::string* error);
  // Same, from text.
  bool LoadFromString(const std::string& text, std::string* error);

  // The argument's value, or a null Json when there is no such argument.
  Json FindArgument(const std::string& name) const;
  bool HasArgument(const std::string& name) const;

 private:
  Json arguments_ = Json::Object();
};

// The folder that holds the module's resources (sql/...).
const std::string& GetResRoot();
void SetResRoot(const std::string& root);

// Asks the host to stop the process: it runs the module's uninstall and exits
// with status 0. Safe to call from any thread, also during install.
void SetToShutDownEngine();
// The host registers what a shut-down request does.
void SetShutDownEngineHandler(std::function<void()> handler);
bool IsShutDownRequested();

}  // namespace tvx

#endif  // FRAMEWORK_ENGINE_H_
