// What the Windows control's tests share: the built DLL and its entry
// points, a dump of a registry tree, a site that names a page address, a
// sink that records the control's events, and a message pump with a deadline.
#pragma once

#include <windows.h>

#include <json/json.h>
#include <ocidl.h>

#include <functional>
#include <string>
#include <vector>

#include "interfaces/PrinterControl.h"
#include "platform/ComPtr.h"

// kestrix-control.dll beside the test program.
std::wstring ControlDllPath();
// One of the DLL's exports; the DLL stays loaded.
FARPROC ControlExport(const char* name);
HRESULT CallRegistration(const char* name);  // DllRegisterServer / DllUnregisterServer
HRESULT CallDllInstall(bool install, const wchar_t* scope);

// Every key and value below root\path, one line each, sorted; "" when the
// key does not exist.
std::string DumpRegistry(HKEY root, const std::wstring& path);

// The address of this program's bootstrap page as the host would write it
// (temporary folder, creation time of the program file, counter 1).
std::wstring BootstrapPageAddressOfThisProgram();

// An IOleClientSite whose container moniker names address (as the browser's
// site does); no container document.
ComPtr<IUnknown> MakeSiteAt(const std::wstring& address);

// Records IPrinterEvent calls as JSON: {"event": "done"|"state"|"message",
// "status": ..., "object": ..., "thread": the id of the thread it came on}.
class EventRecorder final : public IDispatch {
 public:
  static ComPtr<EventRecorder> Create();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override;
  std::vector<Json::Value> events;

 private:
  ULONG m_refs = 0;
};

// Advises the recorder on the control's IPrinterEvent connection point.
HRESULT Advise(IUnknown* control, IUnknown* sink, DWORD* cookie);

// Runs the thread's messages until done() or the deadline; done()'s last answer.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

std::string BstrText(BSTR text);
