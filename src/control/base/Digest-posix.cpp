#include <openssl/evp.h>

#include "control/base/Digest.h"

std::string Sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr)) return std::string();
  return std::string(reinterpret_cast<const char*>(digest), length);
}
