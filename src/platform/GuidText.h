// GUIDs written as text, on both platforms. Included by Automation.h once
// GUID is declared.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "{8856F961-340A-11D0-A96B-00C04FD705A2}" (braces optional). False on bad text.
constexpr bool GuidFromString(std::string_view s, GUID* out) {
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  uint64_t parts[5] = {};
  const size_t starts[5] = {0, 9, 14, 19, 24}, digits[5] = {8, 4, 4, 4, 12};
  for (int p = 0; p < 5; ++p) {
    for (size_t i = 0; i < digits[p]; ++i) {
      int h = hex(s[starts[p] + i]);
      if (h < 0) return false;
      parts[p] = (parts[p] << 4) | static_cast<uint64_t>(h);
    }
  }
  out->Data1 = static_cast<uint32_t>(parts[0]);
  out->Data2 = static_cast<uint16_t>(parts[1]);
  out->Data3 = static_cast<uint16_t>(parts[2]);
  out->Data4[0] = static_cast<uint8_t>(parts[3] >> 8);
  out->Data4[1] = static_cast<uint8_t>(parts[3]);
  for (int i = 0; i < 6; ++i) out->Data4[2 + i] = static_cast<uint8_t>(parts[4] >> (8 * (5 - i)));
  return true;
}
// Constant GUIDs written as text; a malformed literal does not compile.
consteval GUID MakeGuid(std::string_view text) {
  GUID g{};
  if (!GuidFromString(text, &g)) throw "malformed GUID literal";
  return g;
}
// Upper-case form with braces, as StringFromCLSID gives it.
std::string GuidToString(const GUID& g);
