// Uuids: session ids and request ids.
#ifndef FRAMEWORK_UUID_H_
#define FRAMEWORK_UUID_H_

#include <string>

#include <boost/uuid/uuid.hpp>

namespace tvx {

using Uuid = boost::uuids::uuid;

class RandomGenerator {
 public:
  // A random (version 4) uuid. Thread-safe: each thread has its own source.
  static Uuid GenerateUuid();
};

namespace util {

inline const Uuid kNilUuid{};

// Parses the canonical 36-character text form (either case). Text that is not
// a uuid yields kNilUuid; TryFromString tells the two apart.
Uuid FromString(const std::string& text);
bool TryFromString(const std::string& text, Uuid* out);

// The uuid of 16 raw bytes; any other length yields kNilUuid.
Uuid FromBytes(const std::string& bytes);

// The canonical lowercase 36-character text form.
std::string ToString(const Uuid& uuid);

// The 16 raw bytes.
std::string ToBytes(const Uuid& uuid);

}  // namespace util
}  // namespace tvx

#endif  // FRAMEWORK_UUID_H_
