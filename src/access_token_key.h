#ifndef SRC_ACCESS_TOKEN_KEY_H_
#define SRC_ACCESS_TOKEN_KEY_H_

#include <compare>
#include <string>

namespace tvx {

// Names one cache entry: the account and the keyed digest of the credentials
// that obtained its token. Holds no secret; a session keeps the key of the
// entry its authentication proved.
struct AccessTokenKey {
  std::string account;
  std::string digest;
  bool empty() const { return account.empty(); }
  auto operator<=>(const AccessTokenKey&) const = default;
};

}  // namespace tvx

#endif  // SRC_ACCESS_TOKEN_KEY_H_
