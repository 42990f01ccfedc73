#include "src/log_text.h"

#include <algorithm>
#include <sstream>

namespace tvx {

std::ostream& operator<<(std::ostream& os, const LogText& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const size_t shown = std::min(text.text.size(), text.max_bytes);
  for (size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(text.text[i]);
    switch (c) {
      case '\\': os << "\\\\"; break;
      case '\n': os << "\\n"; break;
      case '\r': os << "\\r"; break;
      case '\t': os << "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          os << "\\x" << kHex[c >> 4] << kHex[c & 0x0f];
        } else {
          os << static_cast<char>(c);
        }
    }
  }
  if (shown < text.text.size()) os << "...(" << text.text.size() << " bytes)";
  return os;
}

std::string JsonForLog(const Json& value, size_t max_bytes) {
  static constexpr const char* kCredentialMembers[] = {
      "auth_code", "client_secret", "refresh_token", "private_key", "secret", "access_token"};
  if (!value.IsObject()) return ToLogText(value.ToString(), max_bytes);
  Json shown = value;
  for (const char* name : kCredentialMembers) {
    if (shown.HasAttribute(name)) shown.SetString(name, kRedacted);
  }
  return ToLogText(shown.ToString(), max_bytes);
}

std::string AccountForLog(const PlayerAccount& account) {
  std::ostringstream text;
  text << account;
  return ToLogText(text.str());
}

std::string ToLogText(std::string_view text, size_t max_bytes) {
  std::ostringstream out;
  out << LogText(text, max_bytes);
  return out.str();
}

}  // namespace tvx
