#include "control/site/DeviceIds.h"

#include <json/json.h>

#include "control/base/ControlJson.h"
#include "control/base/Digest.h"

namespace {
// HMAC-SHA256(key, "kestrix-host " + purpose + "\n" + origin + "\n" + raw).
std::string Digest(const std::string& key, const std::string& purpose, const std::string& origin,
                   const std::string& raw) {
  return HmacSha256(key, "kestrix-host " + purpose + "\n" + origin + "\n" + raw);
}

std::string Hex(const std::string& bytes, const char* digits, const char* separator) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += separator;
    out += digits[static_cast<unsigned char>(bytes[i]) >> 4];
    out += digits[static_cast<unsigned char>(bytes[i]) & 15];
  }
  return out;
}
}  // namespace

std::string SiteCpuSerial(const std::string& machineId, const std::string& origin) {
  if (machineId.empty()) return std::string();
  std::string digest = Digest(machineId, "cpu-serial", origin, std::string());
  if (digest.size() < 16) return std::string();
  return Hex(digest.substr(0, 16), "0123456789abcdef", "");
}

std::string SiteMacAddress(const std::string& mac, const std::string& machineId, const std::string& origin) {
  if (mac.empty()) return std::string();
  std::string digest = Digest(machineId, "mac-address", origin, mac);
  if (digest.size() < 6) return std::string();
  digest.resize(6);
  // Locally administered (bit 1 set), unicast (bit 0 clear): never a real vendor's address.
  digest[0] = static_cast<char>((static_cast<unsigned char>(digest[0]) | 0x02) & ~0x01);
  return Hex(digest, "0123456789ABCDEF", "-");
}

bool RawDeviceIdsAllowed() {
  const Json::Value setting = ReadControlJson()["deviceIdentifiers"];
  return setting.isString() && setting.asString() == "raw";
}
