// The DLL's entry points: the class factory for the control's class id, and
// registration. DllRegisterServer / DllUnregisterServer register for the
// current user (HKCU\Software\Classes; no administrator needed, what
// "regsvr32 kestrix-control.dll" does); DllInstall with "machine" registers
// for every user (HKLM\Software\Classes; "regsvr32 /n /i:machine ..."), with
// "user" as DllRegisterServer does.
#include <windows.h>

#include <ole2.h>

#include <cwctype>
#include <string>

#include "control/win32/HostCheck.h"
#include "control/win32/ModuleState.h"
#include "control/win32/Registration.h"
#include "control/win32/WinPrinterControl.h"

namespace {

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  // One static factory; it holds the module while anyone holds it.
  ULONG STDMETHODCALLTYPE AddRef() override {
    LockControlModule();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    UnlockControlModule();
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    // Only our host makes the control (HostCheck.h).
    if (!RunsInHostProcess()) return E_ACCESSDENIED;
    return CWinPrinterControl::Create(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      LockControlModule();
    else
      UnlockControlModule();
    return S_OK;
  }
};

ClassFactory g_factory;

bool Equals(const wchar_t* a, const wchar_t* b) {
  for (; *a && *b; ++a, ++b)
    if (std::towlower(*a) != std::towlower(*b)) return false;
  return *a == *b;
}

}  // namespace

extern "C" {

// The platform's stand-in for GetTickCount64, which XP lacks and the thread
// library asks for: referenced here so the DLL links it (src/platform/win32/XpTickCount.cpp).
void KxLinkXpTickCount();

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    KxLinkXpTickCount();
    SetControlModule(instance);
    ::DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_KestrixPrinter) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, object);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() { return ControlModuleInUse() ? S_FALSE : S_OK; }

HRESULT STDAPICALLTYPE DllRegisterServer() { return RegisterControl(RegistrationScope::User, ControlModulePath()); }

HRESULT STDAPICALLTYPE DllUnregisterServer() { return UnregisterControl(RegistrationScope::User); }

HRESULT STDAPICALLTYPE DllInstall(BOOL install, LPCWSTR commandLine) {
  RegistrationScope scope;
  if (!commandLine || !*commandLine || Equals(commandLine, L"user"))
    scope = RegistrationScope::User;
  else if (Equals(commandLine, L"machine"))
    scope = RegistrationScope::Machine;
  else
    return E_INVALIDARG;
  return install ? RegisterControl(scope, ControlModulePath()) : UnregisterControl(scope);
}

}  // extern "C"
