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

std::string ToLogText(std::string_view text, size_t max_bytes) {
  std::ostringstream out;
  out << LogText(text, max_bytes);
  return out.str();
}

}  // namespace tvx
