#include "platform/InstalledControls.h"

// No system-wide class registry here: a page's controls come from the
// stand-in's own registry only.
HRESULT CreateInstalledControl(const CLSID&, const std::string&, IUnknown** control) {
  if (!control) return E_POINTER;
  *control = nullptr;
  return REGDB_E_CLASSNOTREG;
}
