#include "platform/webbrowser/ControlClasses.h"

#include <cstring>
#include <map>
#include <mutex>

namespace {
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};
std::mutex g_classesMu;
std::map<GUID, ControlFactory, GuidLess>& Classes() {
  static std::map<GUID, ControlFactory, GuidLess> classes;
  return classes;
}
}  // namespace

void RegisterControlClass(const CLSID& clsid, ControlFactory factory) {
  std::lock_guard lock(g_classesMu);
  Classes()[clsid] = std::move(factory);
}

void UnregisterControlClass(const CLSID& clsid) {
  std::lock_guard lock(g_classesMu);
  Classes().erase(clsid);
}

HRESULT CreateControlInstance(const CLSID& clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ControlFactory factory;
  {
    std::lock_guard lock(g_classesMu);
    auto it = Classes().find(clsid);
    if (it == Classes().end()) return REGDB_E_CLASSNOTREG;
    factory = it->second;
  }
  IUnknown* instance = nullptr;
  HRESULT hr = factory(&instance);
  if (FAILED(hr) || !instance) return FAILED(hr) ? hr : E_FAIL;
  hr = instance->QueryInterface(iid, out);
  instance->Release();
  return hr;
}
