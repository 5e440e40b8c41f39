// CWinPrinterControl: the COM object of the Windows printing control
// (kestrix-control.dll). The same members as the Linux control with the same
// results and errors (docs/control.md); what differs lives behind the
// platform seam: printers, papers, status and raw jobs go to the Windows
// spooler (Spooler.h). Members not built on Windows yet refuse with the
// error the Linux control gives for a refusal (OnMessage "notBuilt", and
// OnDone "error" for a job) and answer false to isImplemented.
//
// Apartment threaded: every member runs on the thread that made the control.
// Events fire on that thread only, from a hidden window's message, never
// inside the member call that caused them; job threads queue them
// (EventQueue.h). Whom an event goes to is the Linux control's rule: a job
// reports to the sink advised last when it started, until its OnDone.
//
// Where the control works at all: HostCheck.h. Outside our host's bootstrap
// page every member answers E_ACCESSDENIED with an error text (IErrorInfo).
#pragma once

#include <windows.h>

#include <json/json.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventSinks.h"
#include "control/win32/EventQueue.h"
#include "control/win32/ModuleState.h"
#include "interfaces/PrinterControl.h"
#include "platform/ComPtr.h"
#include "platform/WebOrigin.h"
#include "control/site/FileStore.h"

#include <objsafe.h>

class RawJobs;
struct MemberFailure;

class CWinPrinterControl : public IPrinterControl,
                           public IConnectionPointContainer,
                           public IObjectSafety,
                           public IObjectWithSite,
                           public ISupportErrorInfo {
 public:
  static constexpr UINT kEventMessage = WM_USER + 301;

  // Made by the class factory (refused outside our host process there).
  static HRESULT Create(REFIID riid, void** object);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch, from the type library in the DLL.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // IPrinterControl
  HRESULT STDMETHODCALLTYPE print(IDispatch* job, VARIANT_BOOL prompt) override;
  HRESULT STDMETHODCALLTYPE printPreview(IDispatch* job, VARIANT_BOOL prompt) override;
  HRESULT STDMETHODCALLTYPE printToPDF(IDispatch* job, BSTR path, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE printToImage(IDispatch* job, BSTR path, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE printTIFF(BSTR path, IDispatch* job, BSTR printer) override;
  HRESULT STDMETHODCALLTYPE printDocument(VARIANT* document, VARIANT* options) override;
  HRESULT STDMETHODCALLTYPE exportAsImage(VARIANT* element, BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE setPageURL(BSTR url) override;
  HRESULT STDMETHODCALLTYPE setupNormalOffset(BSTR offset) override;
  HRESULT STDMETHODCALLTYPE setDragCSS(BSTR selector, BSTR css) override;
  HRESULT STDMETHODCALLTYPE setPrintBackground(VARIANT_BOOL enabled, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE setHostCode(LONG code) override;
  HRESULT STDMETHODCALLTYPE setOffsetPage(LONG offset) override;
  HRESULT STDMETHODCALLTYPE getPrinters(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE getDefaultPrinter(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE setDefaultPrinter(BSTR printer) override;
  HRESULT STDMETHODCALLTYPE getPrinterInfo(BSTR printer, VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE getPapers(BSTR printer, VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE isCustomPaperSupported(BSTR printer, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE showPageSetupDialog(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE getLastSettings(BSTR key, VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE setLastSettings(BSTR key, VARIANT* settings) override;
  HRESULT STDMETHODCALLTYPE clearLastSettings(BSTR key) override;
  HRESULT STDMETHODCALLTYPE readString(BSTR path, BSTR encoding, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE readHTML(BSTR path, BSTR encoding, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE readBase64(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE writeBase64(BSTR path, BSTR data, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE copy(BSTR source, BSTR target) override;
  HRESULT STDMETHODCALLTYPE copied(BSTR path, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE download(BSTR url, BSTR path, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE openFile(BSTR path) override;
  HRESULT STDMETHODCALLTYPE chooseFile(BSTR title, BSTR filter, VARIANT_BOOL save, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE exportAsExcel(VARIANT* element, BSTR path, VARIANT_BOOL open, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE getVersion(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE getFonts(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE getLocalMacAddress(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE getCPUSerialNo(BSTR* result) override;
  HRESULT STDMETHODCALLTYPE isPrintableFileType(BSTR type, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE isImplemented(BSTR name, BOOL* result) override;
  HRESULT STDMETHODCALLTYPE isExcelInstalled(BOOL* result) override;
  HRESULT STDMETHODCALLTYPE getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) override;
  HRESULT STDMETHODCALLTYPE liveUpdate(BSTR url, BSTR version, LONG* result) override;
  HRESULT STDMETHODCALLTYPE about() override;

  // Slots the host never calls.
  HRESULT STDMETHODCALLTYPE reserved9() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved10() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved14() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved16() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved17() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved18() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved19() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved22() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved23() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved25() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved27() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved29() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved33() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved36() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved37() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved40() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved41() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved44() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved45() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved47() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved48() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved49() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved55() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved57() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved66() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved67() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved69() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved71() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved74() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved75() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved78() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE reserved81() override { return E_NOTIMPL; }


  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;
  // IObjectSafety: safe for scripting and initialisation only in our host.
  HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;
  // IObjectWithSite: the site tells which document holds the control.
  HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
  HRESULT STDMETHODCALLTYPE GetSite(REFIID riid, void** site) override;
  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // Main thread, from the hidden window: fires every queued event.
  void DeliverQueuedEvents();

  // The members that do their work here (isImplemented).
  static const std::vector<std::string>& ImplementedMembers();

 private:
  CWinPrinterControl();
  virtual ~CWinPrinterControl();

  class ConnectionPoint : public IConnectionPoint {
   public:
    explicit ConnectionPoint(CWinPrinterControl* owner) : m_owner(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return m_owner->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_owner->Release(); }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

   private:
    CWinPrinterControl* m_owner;
  };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // ---- where the control may work ------------------------------------------------
  bool Allowed() const { return m_allowed; }
  // E_ACCESSDENIED, with the reason as the thread's error information.
  HRESULT Refuse(const char* member);

  // ---- events -------------------------------------------------------------------
  void Fire(const std::vector<ComPtr<IDispatch>>& sinks, DISPID id, VARIANT* argsReversed, UINT count);
  std::vector<ComPtr<IDispatch>> SinksFor(const std::string& jobId) const;
  // Queues OnMessage {type: "error", code, message} (to the job's sink with an id).
  void Report(const std::string& code, const std::string& text, const std::string& jobId = std::string());
  void Report(const MemberFailure& failure);
  // Queues OnMessage and OnDone "error" for a job that could not start.
  void ReportJobFailure(const std::string& type, const std::string& id, const std::string& code,
                        const std::string& text);
  // A member not built on Windows yet: its refusal.
  void NotBuilt(const char* member);
  void NotBuiltJob(const char* member, const char* type);

  // ---- the page's site -------------------------------------------------------------
  // The folders the page's site may use (FileStore::ForSite of m_origin).
  FileStore Files() const;

  // ---- jobs ---------------------------------------------------------------------
  std::string NextJobId(const std::string& prefix);
  void StartPrintJob(IDispatch* job, const std::string& type);

  std::atomic<ULONG> m_refs{0};
  ModuleHold m_moduleHold;
  ConnectionPoint m_connectionPoint{this};
  HWND m_window = nullptr;
  std::shared_ptr<EventQueue> m_events;
  std::unique_ptr<RawJobs> m_rawJobs;
  ComPtr<IUnknown> m_site;
  bool m_allowed = false;
  DWORD m_safety = 0;
  ComPtr<ITypeInfo> m_typeInfo;
  EventSinks m_sinks;
  std::map<std::string, ComPtr<IDispatch>> m_jobSinks;  // unfinished jobs and their sink (null: nobody)
  unsigned m_nextId = 1;
  std::string m_pageUrl;
  // The origin of the page's address, read once by setPageURL: it keys the
  // site's files, settings and device ids (none: the "_none" folder).
  WebOrigin m_origin;
  LONG m_hostCode = 0;
};
