// The identity of a player: the player's id and the service provider
// (the store account kind) it belongs to, both as the client sent them.
#ifndef FRAMEWORK_PLAYER_ACCOUNT_H_
#define FRAMEWORK_PLAYER_ACCOUNT_H_

#include <ostream>
#include <string>

namespace tvx {

class PlayerAccount {
 public:
  PlayerAccount() = default;
  PlayerAccount(std::string service_provider, std::string id)
      : service_provider_(std::move(service_provider)), id_(std::move(id)) {}

  const std::string& id() const { return id_; }
  const std::string& service_provider() const { return service_provider_; }

 private:
  std::string service_provider_;
  std::string id_;
};

// Text form used in log lines: "<service_provider>:<id>".
inline std::ostream& operator<<(std::ostream& os, const PlayerAccount& account) {
  return os << account.service_provider() << ":" << account.id();
}

}  // namespace tvx

#endif  // FRAMEWORK_PLAYER_ACCOUNT_H_
