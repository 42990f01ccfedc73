#include "framework/base64.h"

#include <openssl/evp.h>

namespace tvx {

std::string Base64Encode(std::string_view bytes) {
  // EVP_EncodeBlock writes 4 characters per started 3 bytes and a NUL.
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  text.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return text;
}

}  // namespace tvx
