// The origin parser, as a hostile page's address reaches it ("new").
//
// Checked: it never fails by more than refusing; a key it gives is
// canonical (parsed again it is itself, with the root path as rest), spells
// only what a host name, an address and a port may hold, and names port
// 1-65535; the address rebuilt from key and rest (what curl and the renderer
// are handed) reads as the same origin with the same rest.
//
// Input: an address.
#include <cstdint>
#include <string>

#include "platform/WebOrigin.h"
#include "support/FuzzHost.h"

namespace {
const char kTarget[] = "fuzz_origin";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fuzz::Check;
  const std::string url(reinterpret_cast<const char*>(data), size);
  std::string rest;
  const WebOrigin origin = WebOrigin::Parse(url, &rest);
  if (!origin.IsValid()) return 0;
  const std::string& key = origin.Key();
  Check(origin.Scheme() == "http" || origin.Scheme() == "https", kTarget, "a scheme other than http(s): " + key);
  Check(origin.Port() >= 1 && origin.Port() <= 65535, kTarget, "a port out of range: " + key);
  Check(key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_.:/[]") == std::string::npos, kTarget,
        "a key with a character no origin holds: " + key);
  std::string again;
  Check(WebOrigin::Parse(key, &again).Key() == key && again == "/", kTarget, "a key that is not canonical: " + key);
  Check(!rest.empty() && rest[0] == '/', kTarget, "a rest that is not a path: " + rest);
  Check(rest.find('#') == std::string::npos, kTarget, "a fragment kept: " + rest);
  std::string rebuiltRest;
  Check(WebOrigin::Parse(key + rest, &rebuiltRest).Key() == key && rebuiltRest == rest, kTarget,
        "the rebuilt address reads otherwise: " + key + rest);
  return 0;
}
