// CLinuxPrinterControl: the COM object behind the Linux printing control.
//
// Members run on the main thread and return promptly: scheduler calls have
// short time-outs, rendering and printing run in the job process, downloads
// on a thread. Whatever happens later comes back as events (IPrinterEvent,
// fired through IDispatch::Invoke), always from the control's hidden window,
// so always on the main thread and never inside the member call that caused
// them.
//
// Whom an event goes to: a job (or download) belongs to the sink that was
// advised last when the job started. Its events go to that sink only, also
// after the sink has been unadvised (the control keeps it until the job's
// OnDone), and never to a sink advised later; a job started with no sink
// advised reports to nobody. Events of no job go to every advised sink. So a
// page that starts several jobs, each with a listener of its own, hears every
// job exactly once, and nothing of a job after its OnDone.
#pragma once

#include <json/json.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/EventSinks.h"
#include "control/jobs/JobLauncher.h"
#include "control/site/FileStore.h"
#include "control/jobs/JobQueue.h"
#include "control/jobs/JobRequest.h"
#include "interfaces/PrinterControl.h"
#include "platform/ComPtr.h"
#include "platform/ThreadAffinity.h"
#include "platform/Window.h"

class CLinuxPrinterControl : public IPrinterControl, public IConnectionPointContainer {
 public:
  // The window message that says "job events are waiting".
  static constexpr UINT kJobEventMessage = WM_USER + 301;

  static HRESULT Create(IUnknown** instance);

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // IDispatch: the control is called through its method table only.
  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // IPrinterControl (JobMembers.cpp)
  HRESULT print(IDispatch* job, VARIANT_BOOL prompt) override;
  HRESULT printPreview(IDispatch* job, VARIANT_BOOL prompt) override;
  HRESULT printToPDF(IDispatch* job, BSTR path, BOOL* result) override;
  HRESULT printToImage(IDispatch* job, BSTR path, BOOL* result) override;
  HRESULT printTIFF(BSTR path, IDispatch* job, BSTR printer) override;
  HRESULT printDocument(VARIANT* document, VARIANT* options) override;
  HRESULT exportAsImage(VARIANT* element, BSTR path, BSTR* result) override;
  HRESULT setPageURL(BSTR url) override;
  HRESULT setupNormalOffset(BSTR offset) override;
  HRESULT setDragCSS(BSTR selector, BSTR css) override;
  HRESULT setPrintBackground(VARIANT_BOOL enabled, BOOL* result) override;
  HRESULT setHostCode(LONG code) override;
  HRESULT setOffsetPage(LONG offset) override;
  // (PrinterMembers.cpp)
  HRESULT getPrinters(VARIANT* result) override;
  HRESULT getDefaultPrinter(VARIANT* result) override;
  HRESULT setDefaultPrinter(BSTR printer) override;
  HRESULT getPrinterInfo(BSTR printer, VARIANT* result) override;
  HRESULT getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) override;
  HRESULT getPapers(BSTR printer, VARIANT* result) override;
  HRESULT isCustomPaperSupported(BSTR printer, BOOL* result) override;
  HRESULT showPageSetupDialog(VARIANT* result) override;
  HRESULT getLastSettings(BSTR key, VARIANT* result) override;
  HRESULT setLastSettings(BSTR key, VARIANT* settings) override;
  HRESULT clearLastSettings(BSTR key) override;
  // (FileMembers.cpp)
  HRESULT readString(BSTR path, BSTR encoding, BSTR* result) override;
  HRESULT writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) override;
  HRESULT readHTML(BSTR path, BSTR encoding, BSTR* result) override;
  HRESULT readBase64(BSTR path, BSTR* result) override;
  HRESULT writeBase64(BSTR path, BSTR data, BOOL* result) override;
  HRESULT copy(BSTR source, BSTR target) override;
  HRESULT copied(BSTR path, BSTR* result) override;
  HRESULT download(BSTR url, BSTR path, BOOL* result) override;
  HRESULT openFile(BSTR path) override;
  HRESULT chooseFile(BSTR title, BSTR filter, VARIANT_BOOL save, BSTR* result) override;
  HRESULT exportAsExcel(VARIANT* element, BSTR path, VARIANT_BOOL open, BOOL* result) override;
  // (SystemMembers.cpp)
  HRESULT getVersion(BSTR* result) override;
  HRESULT getFonts(VARIANT* result) override;
  HRESULT getLocalMacAddress(BSTR* result) override;
  HRESULT getCPUSerialNo(BSTR* result) override;
  HRESULT isPrintableFileType(BSTR type, BOOL* result) override;
  HRESULT isImplemented(BSTR name, BOOL* result) override;
  HRESULT isExcelInstalled(BOOL* result) override;
  HRESULT getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) override;
  HRESULT liveUpdate(BSTR url, BSTR version, LONG* result) override;
  HRESULT about() override;

  // Slots the host never calls.
  HRESULT reserved9() override { return E_NOTIMPL; }
  HRESULT reserved10() override { return E_NOTIMPL; }
  HRESULT reserved14() override { return E_NOTIMPL; }
  HRESULT reserved16() override { return E_NOTIMPL; }
  HRESULT reserved17() override { return E_NOTIMPL; }
  HRESULT reserved18() override { return E_NOTIMPL; }
  HRESULT reserved19() override { return E_NOTIMPL; }
  HRESULT reserved22() override { return E_NOTIMPL; }
  HRESULT reserved23() override { return E_NOTIMPL; }
  HRESULT reserved25() override { return E_NOTIMPL; }
  HRESULT reserved27() override { return E_NOTIMPL; }
  HRESULT reserved29() override { return E_NOTIMPL; }
  HRESULT reserved33() override { return E_NOTIMPL; }
  HRESULT reserved36() override { return E_NOTIMPL; }
  HRESULT reserved37() override { return E_NOTIMPL; }
  HRESULT reserved40() override { return E_NOTIMPL; }
  HRESULT reserved41() override { return E_NOTIMPL; }
  HRESULT reserved44() override { return E_NOTIMPL; }
  HRESULT reserved45() override { return E_NOTIMPL; }
  HRESULT reserved47() override { return E_NOTIMPL; }
  HRESULT reserved48() override { return E_NOTIMPL; }
  HRESULT reserved49() override { return E_NOTIMPL; }
  HRESULT reserved55() override { return E_NOTIMPL; }
  HRESULT reserved57() override { return E_NOTIMPL; }
  HRESULT reserved66() override { return E_NOTIMPL; }
  HRESULT reserved67() override { return E_NOTIMPL; }
  HRESULT reserved69() override { return E_NOTIMPL; }
  HRESULT reserved71() override { return E_NOTIMPL; }
  HRESULT reserved74() override { return E_NOTIMPL; }
  HRESULT reserved75() override { return E_NOTIMPL; }
  HRESULT reserved78() override { return E_NOTIMPL; }
  HRESULT reserved81() override { return E_NOTIMPL; }

  // IConnectionPointContainer
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

  // Main thread, from the hidden window: fires every queued event.
  void DeliverQueuedEvents();

  // Names of the members this control implements (for isImplemented).
  static const std::vector<std::string>& ImplementedMembers();

 private:
  CLinuxPrinterControl();
  virtual ~CLinuxPrinterControl();

  class ConnectionPoint : public IConnectionPoint {
   public:
    explicit ConnectionPoint(CLinuxPrinterControl* owner) : m_owner(owner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return m_owner->AddRef(); }  // lives and dies with the control
    ULONG Release() override { return m_owner->Release(); }
    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

   private:
    CLinuxPrinterControl* m_owner;
  };

  class EventWindow : public CWindowImplBase {
   public:
    explicit EventWindow(CLinuxPrinterControl* owner) : m_owner(owner) {}
    BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                              DWORD msgMapId) override;

   private:
    CLinuxPrinterControl* m_owner;
  };

  // ---- events -----------------------------------------------------------------
  // Calls every sink of sinks (a copy: a handler may advise or unadvise).
  void Fire(const std::vector<ComPtr<IDispatch>>& sinks, DISPID id, VARIANT* argsReversed, UINT count);
  void FireOnDone(const std::vector<ComPtr<IDispatch>>& sinks, const std::string& status, const Json::Value& result);
  void FireOnJobState(const std::vector<ComPtr<IDispatch>>& sinks, const Json::Value& job);
  void FireOnMessage(const std::vector<ComPtr<IDispatch>>& sinks, const Json::Value& message);
  // Queues an OnMessage {type: "error", code, message} for the next delivery;
  // with a job id it goes where that job's events go.
  void Report(const std::string& code, const std::string& text, const std::string& jobId = std::string());
  // Queues OnMessage + OnDone "error" for a job that could not start.
  void ReportJobFailure(const std::string& type, const std::string& id, const std::string& code,
                        const std::string& text);

  // ---- jobs -------------------------------------------------------------------
  std::string NextId(const std::string& prefix);
  // NextId for a job or download: binds it to the sink advised last (if any)
  // until its "done" line has been delivered.
  std::string NextJobId(const std::string& prefix);
  // The folders the current page's site may use (FileStore::ForSite).
  FileStore Files() const;
  // Reads the page's job object; false (reported) when there is none.
  bool ReadJob(IDispatch* job, const std::string& type, const std::string& id, Json::Value* out);
  // Builds and starts (or queues) one job; failures are reported as events.
  // True when started or queued.
  bool StartJob(const Json::Value& job, JobMode mode, const std::string& type, const std::string& id,
                const std::string& output);
  // Starts the queued jobs that now have a place, in order, and tells the
  // ones still waiting their new places.
  void StartQueuedJobs();
  // Queues OnJobState "queued" for a waiting job (position 1: next to start).
  void ReportQueued(const std::string& id, size_t position);
  // Starts the job process; a failure is reported and frees the job's place.
  bool Launch(const Json::Value& request);
  // The policy for what this page's jobs and downloads may reach.
  NetworkPolicy PagePolicy() const;
  // An output path inside the allowed folders ("" with a report when refused);
  // an empty path gives fallbackName in the default folder.
  std::string OutputPath(const std::string& path, const std::string& fallbackName, const std::string& type,
                         const std::string& id);
  // The HTML of an element the page laid out (outerHTML / innerHTML), or the text itself.
  bool ElementHtml(const VARIANT* element, std::string* html);
  // Opens a resolved path on the desktop when it is a document (DesktopOpen.h);
  // otherwise, or without a desktop, reports why and answers false.
  bool OpenDocumentOnDesktop(const std::string& path);

  std::atomic<ULONG> m_refs{0};
  ConnectionPoint m_connectionPoint{this};
  EventWindow m_window{this};
  // The thread that made the control (the main thread): every member and the
  // delivery of events check they run there (checking builds).
  ThreadAffinity m_thread;
  std::shared_ptr<JobEventQueue> m_events;
  EventSinks m_sinks;
  // Unfinished jobs and the sink each reports to (null: nobody listened).
  std::map<std::string, ComPtr<IDispatch>> m_jobSinks;
  unsigned m_nextId = 1;

  JobQueue m_jobs;
  std::map<std::string, Json::Value> m_queuedRequests;  // by job id, until started
  JobDefaults m_defaults;
  std::map<std::string, std::string> m_dragCss;  // selector -> declarations
  LONG m_hostCode = 0;
};
