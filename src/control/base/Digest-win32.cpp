#include <windows.h>
#include <wincrypt.h>

#include "control/base/Digest.h"

// CALG_SHA_256: there from Windows XP SP3 on, left out of the headers for XP.
constexpr ALG_ID kSha256 = ALG_CLASS_HASH | ALG_TYPE_ANY | 12;

std::string Sha256(std::string_view bytes) {
  // PROV_RSA_AES is the provider type that has SHA-256 (Windows XP SP3 on).
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    return std::string();
  std::string digest;
  HCRYPTHASH hash = 0;
  if (CryptCreateHash(provider, kSha256, 0, 0, &hash)) {
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
      const DWORD piece = bytes.size() - done > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size() - done);
      ok = CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data() + done), piece, 0);
      done += piece;
    }
    BYTE out[32];
    DWORD length = sizeof out;
    if (ok && CryptGetHashParam(hash, HP_HASHVAL, out, &length, 0)) digest.assign(reinterpret_cast<char*>(out), length);
    CryptDestroyHash(hash);
  }
  CryptReleaseContext(provider, 0);
  return digest;
}
