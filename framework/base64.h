// Standard base64 (RFC 4648 alphabet, "=" padding), by OpenSSL.
#ifndef FRAMEWORK_BASE64_H_
#define FRAMEWORK_BASE64_H_

#include <string>
#include <string_view>

namespace tvx {

std::string Base64Encode(std::string_view bytes);

}  // namespace tvx

#endif  // FRAMEWORK_BASE64_H_
