#include "framework/uuid.h"

#include <cstring>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace tvx {

Uuid RandomGenerator::GenerateUuid() {
  thread_local boost::uuids::random_generator generator;
  return generator();
}

namespace util {

bool TryFromString(const std::string& text, Uuid* out) {
  // Only the canonical 8-4-4-4-12 form is accepted; boost's string generator
  // is laxer (braces, no dashes) and reports errors by throwing.
  if (text.size() != 36) return false;
  Uuid uuid;
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    auto nibble = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = nibble(text[i]);
    int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    uuid.data[byte++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  *out = uuid;
  return true;
}

Uuid FromString(const std::string& text) {
  Uuid uuid = kNilUuid;
  TryFromString(text, &uuid);
  return uuid;
}

Uuid FromBytes(const std::string& bytes) {
  Uuid uuid = kNilUuid;
  if (bytes.size() == uuid.size()) std::memcpy(uuid.data, bytes.data(), uuid.size());
  return uuid;
}

std::string ToString(const Uuid& uuid) { return boost::uuids::to_string(uuid); }

std::string ToBytes(const Uuid& uuid) {
  return std::string(reinterpret_cast<const char*>(uuid.data), uuid.size());
}

}  // namespace util
}  // namespace tvx
