#include "platform/Resources.h"

#include <windows.h>

#include "platform/CodePage.h"

bool FindModuleResource(const std::string& type, const std::string& name, const unsigned char** data, size_t* size) {
  *data = nullptr;
  *size = 0;
  // The executable's own module: a resource linked into the program, not
  // into whichever library asks.
  HMODULE module = ::GetModuleHandleW(nullptr);
  OleString wideType = AnsiToWide(type);
  OleString wideName = AnsiToWide(name);
  HRSRC found = ::FindResourceW(module, wideName.c_str(), wideType.c_str());
  if (!found) return false;
  HGLOBAL loaded = ::LoadResource(module, found);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes) return false;
  *data = static_cast<const unsigned char*>(bytes);
  *size = ::SizeofResource(module, found);
  return true;
}
