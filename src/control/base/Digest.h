// SHA-256 and HMAC-SHA256: the names a site's settings file and folder take
// from its origin, and the device ids a site sees. The hash is the system's
// (OpenSSL on POSIX, CryptoAPI on Windows: Digest-posix.cpp, Digest-win32.cpp);
// the HMAC over it is shared.
#pragma once

#include <string>
#include <string_view>

// The 32 bytes of SHA-256(bytes).
std::string Sha256(std::string_view bytes);
// The 32 bytes of HMAC-SHA256(key, message).
std::string HmacSha256(std::string_view key, std::string_view message);
// Bytes as lower-case hex digits.
std::string HexDigits(std::string_view bytes);
