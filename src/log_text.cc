#include "src/log_text.h"

#include <algorithm>
#include <iterator>

namespace tvx {
namespace {

constexpr const char* kCredentialMembers[] = {"auth_code", "client_secret", "refresh_token",
                                              "private_key", "secret", "access_token"};

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; }

// Hands the escaped form of `text` to `append(const char*, size_t)`: runs of
// plain bytes in one piece, so a long text costs a few calls, not one per
// byte.
template <typename Append>
void Escape(const LogText& text, Append&& append) {
  static constexpr char kHex[] = "0123456789abcdef";
  const size_t shown = std::min(text.text.size(), text.max_bytes);
  const char* data = text.text.data();
  size_t run = 0;  // start of the plain bytes not yet handed over
  for (size_t i = 0; i < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (!NeedsEscape(c)) continue;
    if (i > run) append(data + run, i - run);
    run = i + 1;
    switch (c) {
      case '\\': append("\\\\", 2); break;
      case '\n': append("\\n", 2); break;
      case '\r': append("\\r", 2); break;
      case '\t': append("\\t", 2); break;
      default: {
        const char escape[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0x0f]};
        append(escape, 4);
      }
    }
  }
  if (shown > run) append(data + run, shown - run);
  if (shown < text.text.size()) {
    const std::string cut = "...(" + std::to_string(text.text.size()) + " bytes)";
    append(cut.data(), cut.size());
  }
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const LogText& text) {
  Escape(text, [&os](const char* data, size_t size) {
    os.write(data, static_cast<std::streamsize>(size));
  });
  return os;
}

std::string JsonForLog(const Json& value, size_t max_bytes) {
  if (!value.IsObject()) return ToLogText(value.ToString(), max_bytes);
  // Copies the receipt only when it has a member to hide.
  const bool has_credential =
      std::any_of(std::begin(kCredentialMembers), std::end(kCredentialMembers),
                  [&value](const char* name) { return value.HasAttribute(name); });
  if (!has_credential) return ToLogText(value.ToString(), max_bytes);
  Json shown = value;
  for (const char* name : kCredentialMembers) {
    if (shown.HasAttribute(name)) shown.SetString(name, kRedacted);
  }
  return ToLogText(shown.ToString(), max_bytes);
}

std::string AccountForLog(const PlayerAccount& account) {
  // The text operator<<(ostream&, PlayerAccount) writes, without a stream.
  return ToLogText(account.service_provider() + ":" + account.id());
}

std::string ToLogText(std::string_view text, size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes) + 16);
  Escape(LogText(text, max_bytes), [&out](const char* data, size_t size) {
    out.append(data, size);
  });
  return out;
}

}  // namespace tvx
