#include "control/object/PrinterControlObject.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <thread>

#include "control/base/JobLine.h"
#include "control/base/ControlJson.h"
#include "control/base/ControlPaths.h"
#include "control/base/ControlText.h"
#include "control/base/DesktopOpen.h"
#include "control/members/AutomationToJson.h"
#include "control/site/Downloader.h"
#include "control/site/FileStore.h"
#include "control/render/RenderService.h"
#include "control/base/Trace.h"
#include "platform/JsonDispatch.h"

extern char** environ;

// ---- lifetime ---------------------------------------------------------------------
CLinuxPrinterControl::CLinuxPrinterControl() : m_jobs(JobLimits()) {
  m_window.Create(nullptr, RECT{}, L"KestrixPrinterEvents", 0);
  m_events = std::make_shared<JobEventQueue>(m_window.m_hWnd, kJobEventMessage);
  InitDownloads();
  // Downloads that an ended process left half-written, once per process and
  // off the main thread (an allowed folder may be large).
  static std::once_flag swept;
  std::call_once(swept, [] {
    try {
      std::thread([roots = FileStore::FromEnvironment().Roots()] { SweepDownloadLeftovers(roots); }).detach();
    } catch (const std::exception&) {
    }
  });
}

CLinuxPrinterControl::~CLinuxPrinterControl() {
  // Jobs that still run keep their queue; their wake-ups now find no window.
  if (m_window.IsWindow()) m_window.DestroyWindow();
}

HRESULT CLinuxPrinterControl::Create(IUnknown** instance) {
  if (!instance) return E_POINTER;
  *instance = nullptr;
  CLinuxPrinterControl* control = nullptr;
  try {
    control = new CLinuxPrinterControl();
  } catch (const std::exception&) {
    return E_OUTOFMEMORY;
  }
  *instance = static_cast<IPrinterControl*>(control);
  control->AddRef();
  return S_OK;
}

HRESULT CLinuxPrinterControl::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IPrinterControl)
    *ppv = static_cast<IPrinterControl*>(this);
  else if (riid == IID_IConnectionPointContainer)
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG CLinuxPrinterControl::AddRef() { return ++m_refs; }

ULONG CLinuxPrinterControl::Release() {
  ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT CLinuxPrinterControl::GetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT CLinuxPrinterControl::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
  if (ppTInfo) *ppTInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT CLinuxPrinterControl::GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* rgDispId) {
  for (UINT i = 0; rgDispId && i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  return DISP_E_UNKNOWNNAME;
}

HRESULT CLinuxPrinterControl::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

// ---- connection point ---------------------------------------------------------------
HRESULT CLinuxPrinterControl::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

HRESULT CLinuxPrinterControl::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  if (riid != IID_IPrinterEvent) return CONNECT_E_NOCONNECTION;
  *ppCP = &m_connectionPoint;
  m_connectionPoint.AddRef();
  return S_OK;
}

HRESULT CLinuxPrinterControl::ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
  *ppv = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT CLinuxPrinterControl::ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = IID_IPrinterEvent;
  return S_OK;
}

HRESULT CLinuxPrinterControl::ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  *ppCPC = static_cast<IConnectionPointContainer*>(m_owner);
  m_owner->AddRef();
  return S_OK;
}

HRESULT CLinuxPrinterControl::ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  return m_owner->m_sinks.Advise(pUnkSink, IID_IPrinterEvent, pdwCookie);
}

HRESULT CLinuxPrinterControl::ConnectionPoint::Unadvise(DWORD dwCookie) { return m_owner->m_sinks.Unadvise(dwCookie); }

HRESULT CLinuxPrinterControl::ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (ppEnum) *ppEnum = nullptr;
  return E_NOTIMPL;
}

// ---- events -------------------------------------------------------------------------
BOOL CLinuxPrinterControl::EventWindow::ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result,
                                                             DWORD) {
  if (message != kJobEventMessage) return FALSE;
  // A sink may release the control while it handles an event.
  m_owner->AddRef();
  m_owner->DeliverQueuedEvents();
  m_owner->Release();
  result = 0;
  return TRUE;
}

namespace {
// The job a queued line belongs to ("" for none).
std::string LineJobId(const Json::Value& line, const std::string& kind) {
  const char* holder = kind == "state" ? "job" : kind == "message" ? "message" : "result";
  const Json::Value& id = line[holder]["id"];
  return id.isString() ? id.asString() : std::string();
}
}  // namespace

void CLinuxPrinterControl::DeliverQueuedEvents() {
  m_thread.Check("CLinuxPrinterControl::DeliverQueuedEvents");
  for (Json::Value& line : m_events->TakeAll()) {
    // A line of the wrong shape is dropped; it must not take the message loop down.
    try {
      if (!line.isObject() || !line["kind"].isString()) continue;
      const std::string kind = line["kind"].asString();
      if (kind == "released") {
        // The job only follows the print scheduler now: its place is free.
        m_jobs.Released(line["id"].asString());
        StartQueuedJobs();
        continue;
      }
      if (kind != "state" && kind != "message" && kind != "done") continue;
      Trace(("control: fires " + kind + " " + line["job"]["status"].asString()).c_str());
      std::vector<ComPtr<IDispatch>> targets;
      const std::string jobId = LineJobId(line, kind);
      if (kind == "done" && !jobId.empty()) {
        m_jobs.Finished(jobId);
        StartQueuedJobs();
      }
      auto bound = jobId.empty() ? m_jobSinks.end() : m_jobSinks.find(jobId);
      if (jobId.empty()) {
        for (auto& entry : m_sinks.Sinks()) targets.push_back(entry.second);
      } else if (bound == m_jobSinks.end()) {
        continue;  // a job this control does not follow (any more): its OnDone has been fired
      } else if (bound->second) {
        targets.push_back(bound->second);
      }
      // The binding goes before the handler runs, so a sink released by it is released once.
      if (kind == "done" && bound != m_jobSinks.end()) m_jobSinks.erase(bound);
      if (kind == "state") FireOnJobState(targets, line["job"]);
      else if (kind == "message") FireOnMessage(targets, line["message"]);
      else FireOnDone(targets, line["status"].isString() ? line["status"].asString() : "error", line["result"]);
    } catch (const std::exception&) {
    }
  }
}

void CLinuxPrinterControl::Fire(const std::vector<ComPtr<IDispatch>>& sinks, DISPID id, VARIANT* argsReversed,
                                UINT count) {
  for (auto& sink : sinks) {
    DISPPARAMS params{argsReversed, nullptr, count, 0};
    sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
}

void CLinuxPrinterControl::FireOnDone(const std::vector<ComPtr<IDispatch>>& sinks, const std::string& status,
                                      const Json::Value& result) {
  // OnDone(text, object): in DISPPARAMS the object comes first.
  Variant args[2];
  args[0] = Variant::FromDispatch(CJsonDispatch::Create(result).Get());
  args[1].vt = VT_BSTR;
  args[1].bstrVal = Utf8ToBstr(status);
  Fire(sinks, DISPID_PRINTEREVENT_ONDONE, args, 2);
}

void CLinuxPrinterControl::FireOnJobState(const std::vector<ComPtr<IDispatch>>& sinks, const Json::Value& job) {
  Variant arg = Variant::FromDispatch(CJsonDispatch::Create(job).Get());
  Fire(sinks, DISPID_PRINTEREVENT_ONJOBSTATE, &arg, 1);
}

void CLinuxPrinterControl::FireOnMessage(const std::vector<ComPtr<IDispatch>>& sinks, const Json::Value& message) {
  Variant arg = Variant::FromDispatch(CJsonDispatch::Create(message).Get());
  Fire(sinks, DISPID_PRINTEREVENT_ONMESSAGE, &arg, 1);
}

void CLinuxPrinterControl::Report(const std::string& code, const std::string& text, const std::string& jobId) {
  Json::Value line = JobLine::Message("error", code, text, jobId);
  if (jobId.empty()) line["message"].removeMember("id");  // a message of no job
  m_events->Push(std::move(line));
}

void CLinuxPrinterControl::ReportJobFailure(const std::string& type, const std::string& id, const std::string& code,
                                            const std::string& text) {
  Report(code, text, id);
  Json::Value request(Json::objectValue);
  request["type"] = type;
  request["id"] = id;
  Json::Value line = JobLine::Failed(request, text);
  line["result"]["code"] = code;
  m_events->Push(std::move(line));
}

// ---- job helpers -----------------------------------------------------------------------
FileStore CLinuxPrinterControl::Files() const { return FileStore::ForSite(m_defaults.origin.Key()); }

std::string CLinuxPrinterControl::NextId(const std::string& prefix) {
  return prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(m_nextId++);
}

std::string CLinuxPrinterControl::NextJobId(const std::string& prefix) {
  std::string id = NextId(prefix);
  m_jobSinks[id] = m_sinks.Empty() ? ComPtr<IDispatch>() : m_sinks.Sinks().back().second;
  return id;
}

namespace {
// Names a job object may have, for engines that cannot list an object's members.
const std::vector<std::string>& JobMemberNames() {
  static const std::vector<std::string> names = {
      "html",  "url",        "file",  "data",    "type",    "printer", "paper", "landscape", "copies",
      "margins", "duplex",   "title", "pageRanges", "width", "timeout", "follow", "top",   "right",
      "bottom", "left",      "height", "name",  "mediaSource", "mediaType", "colorMode", "scaling", "quality",
      "resolution", "collate", "pagesPerSheet", "outputBin", "finishings", "raw", "base64", "hex", "text",
      "encoding"};
  return names;
}
}  // namespace

bool CLinuxPrinterControl::ReadJob(IDispatch* job, const std::string& type, const std::string& id, Json::Value* out) {
  if (!job) {
    ReportJobFailure(type, id, "noJob", type + " needs a job object");
    return false;
  }
  *out = DispatchToJson(job, JobMemberNames());
  if (!out->isObject()) {
    ReportJobFailure(type, id, "noJob", type + " needs a job object");
    return false;
  }
  return true;
}

bool CLinuxPrinterControl::StartJob(const Json::Value& job, JobMode mode, const std::string& type,
                                    const std::string& id, const std::string& output) {
  Trace("control: job asked");
  FileStore files = Files();
  Json::Value request;
  std::string error;
  JobDefaults defaults = m_defaults;
  for (const auto& [selector, css] : m_dragCss) defaults.extraCss += selector + " { " + css + " }\n";
  defaults.network = PagePolicy();
  bool built = false;
  try {
    built = BuildJobRequest(job, mode, type, id, output, defaults, files, &request, &error);
  } catch (const std::exception& e) {
    error = std::string("cannot read the job: ") + e.what();
  }
  if (!built) {
    ReportJobFailure(type, id, error.find("outside the allowed folders") != std::string::npos ? "pathRefused" : "badJob",
                     error);
    return false;
  }
  // control.json is read afresh for every job, like the allowed folders.
  m_jobs.SetLimits(JobLimits::FromConfig(ReadControlJson()));
  const JobLimits& limits = m_jobs.Limits();
  request["places"] = limits.maxRunning;
  request["timeLimitSeconds"] = limits.timeLimitSeconds;
  // A job is followed at most the limit, and the user's followers are bounded
  // as waiting jobs are, across hosts (the job process takes a follower's place).
  request["followSeconds"] = limits.FollowSeconds(request["followSeconds"].asDouble());
  request["followers"] = limits.maxWaiting;
  if (mode != JobMode::Print) {
    // The output is checked at its real size, under the site's room lock, by
    // the job process right before the rename: the bounds go with the request.
    const SiteQuota& room = files.Limits();
    request["room"]["site"] = files.DefaultFolder();
    request["room"]["siteBytes"] = static_cast<Json::UInt64>(room.siteBytes);
    request["room"]["siteEntries"] = static_cast<Json::UInt64>(room.siteEntries);
    request["room"]["minFree"] = static_cast<Json::UInt64>(room.minFree);
  }
  Trace("control: request built");
  PrepareWarmRendering(&request, limits.maxRunning);
  Trace("control: warm renderer checked");
  size_t position = 0;
  // What a waiting request holds is mostly its document.
  const Json::Value& source = request["source"];
  size_t bytes = 4096;
  for (const char* member : {"html", "data", "url"})
    if (source[member].isString()) bytes += source[member].asString().size();
  switch (m_jobs.Admit(id, &position, bytes)) {
    case JobQueue::Admission::Start:
      return Launch(request);
    case JobQueue::Admission::Queued:
      m_queuedRequests[id] = request;
      ReportQueued(id, position);
      return true;
    case JobQueue::Admission::Refused:
      ReportJobFailure(type, id, "queueFull",
                       "too many jobs: " + std::to_string(limits.maxRunning) + " running and " +
                           std::to_string(limits.maxWaiting) +
                           " waiting or followed is the limit; start it again when one has finished");
      return false;
    case JobQueue::Admission::RefusedBytes:
      break;
  }
  ReportJobFailure(type, id, "queueFull",
                   "too much waiting: the jobs already waiting hold " +
                       std::to_string(m_jobs.QueuedBytes() >> 20) + " MiB and this one " +
                       std::to_string(bytes >> 20) + " MiB (" + std::to_string(limits.maxWaitingBytes >> 20) +
                       " MiB is the limit); start it again when one has finished");
  return false;
}

bool CLinuxPrinterControl::Launch(const Json::Value& request) {
  std::string error;
  const bool launched = LaunchJob(request, m_events, &error);
  Trace("control: job process started");
  if (launched) return true;
  const std::string id = request["id"].asString();
  m_jobs.Finished(id);
  ReportJobFailure(request["type"].asString(), id, "jobProcessMissing", error);
  return false;
}

void CLinuxPrinterControl::ReportQueued(const std::string& id, size_t position) {
  auto it = m_queuedRequests.find(id);
  if (it == m_queuedRequests.end()) return;
  Json::Value line = JobLine::State(NewJobRecord(it->second));
  line["job"]["status"] = "queued";
  line["job"]["position"] = static_cast<Json::UInt64>(position);
  line["job"]["statusText"] = position == 1 ? std::string("Next to start")
                                            : "Waiting (place " + std::to_string(position) + ")";
  m_events->Push(std::move(line));
}

void CLinuxPrinterControl::StartQueuedJobs() {
  const size_t before = m_jobs.Queued();
  // A failed start frees its place again for the next in line.
  for (bool freed = true; freed;) {
    freed = false;
    for (const std::string& id : m_jobs.TakeStartable()) {
      auto it = m_queuedRequests.find(id);
      if (it == m_queuedRequests.end()) {
        m_jobs.Finished(id);
        freed = true;
        continue;
      }
      Json::Value request = std::move(it->second);
      m_queuedRequests.erase(it);
      if (!Launch(request)) freed = true;
    }
  }
  // The ones still waiting have moved up.
  if (m_jobs.Queued() != before) {
    const std::vector<std::string> waiting = m_jobs.QueuedIds();
    for (size_t i = 0; i < waiting.size(); ++i) ReportQueued(waiting[i], i + 1);
  }
}

NetworkPolicy CLinuxPrinterControl::PagePolicy() const {
  return NetworkPolicy(m_defaults.origin, ReadControlJson()["allowNetworks"]);
}

std::string CLinuxPrinterControl::OutputPath(const std::string& path, const std::string& fallbackName,
                                             const std::string& type, const std::string& id) {
  FileStore files = Files();
  std::string real, error;
  if (!files.Resolve(path.empty() ? fallbackName : path, FileStore::Access::Write, &real, &error)) {
    ReportJobFailure(type, id, "pathRefused", error);
    return std::string();
  }
  // The document's size is known only once it is made: the folder must have
  // room for an empty file now, and the job checks the whole size before its rename.
  if (!files.HasRoom(real, 0, &error)) {
    ReportJobFailure(type, id, "noRoom", error);
    return std::string();
  }
  return real;
}

bool CLinuxPrinterControl::ElementHtml(const VARIANT* element, std::string* html) {
  if (!element) return false;
  const VARIANT& v = element->vt == (VT_BYREF | VT_VARIANT) && element->pvarVal ? *element->pvarVal : *element;
  if (v.vt == VT_BSTR) {
    *html = BstrToUtf8(v.bstrVal);
    return !html->empty();
  }
  if (v.vt != VT_DISPATCH || !v.pdispVal) return false;
  for (const char* member : {"outerHTML", "innerHTML"}) {
    Variant value;
    if (ReadMember(v.pdispVal, member, &value) && value.vt == VT_BSTR && SysStringLen(value.bstrVal) > 0) {
      *html = BstrToUtf8(value.bstrVal);
      return true;
    }
  }
  return false;
}

bool CLinuxPrinterControl::OpenDocumentOnDesktop(const std::string& path) {
  std::string code, message;
  if (OpenDocument(path, &code, &message)) return true;
  Report(code, message);
  return false;
}
