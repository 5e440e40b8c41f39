#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "control/base/DesktopOpen.h"
#include "platform/OleText.h"

bool LaunchOpener(const std::string& path) {
  std::wstring file = Utf8ToUtf16(path);
  for (wchar_t& c : file)
    if (c == L'/') c = L'\\';
  // The shell may hand the file over through COM; a thread that has COM in
  // another model already keeps it (RPC_E_CHANGED_MODE: then not ours to end).
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  // No error boxes: a refusal is reported to the page, never shown on the desktop.
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = L"open";
  info.lpFile = file.c_str();
  info.nShow = SW_SHOWNORMAL;
  const bool opened = ShellExecuteExW(&info) != FALSE;
  if (SUCCEEDED(com)) CoUninitialize();
  return opened;
}
