#include "support/fake/FakeControl.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>
#include <memory>
#include <fstream>

#include "bridge/ScriptValueBridge.h"
#include "platform/JsonDispatch.h"
#include "platform/webbrowser/ControlClasses.h"

namespace {

constexpr UINT WM_FAKE_JOB_EVENTS = WM_USER + 200;

Json::Value Text(BSTR s) {
  if (!s) return Json::Value();
  return Json::Value(Utf16ToUtf8(OleStringView(s, SysStringLen(s))));
}

Json::Value Describe(const VARIANT* v) {
  if (!v) return Json::Value("<no variant>");
  Json::Value d(Json::objectValue);
  d["vt"] = v->vt;
  if (v->vt == VT_BSTR && !v->bstrVal)
    d["null"] = true;
  else
    d["value"] = ScriptValueBridge().VariantToJson(*v);
  return d;
}

Json::Value DescribeObject(IDispatch* object) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = object;  // borrowed: not cleared
  return Describe(&v);
}

Json::Value Args(std::initializer_list<Json::Value> items) {
  Json::Value a(Json::arrayValue);
  for (const Json::Value& i : items) a.append(i);
  return a;
}

}  // namespace

// Fires the job events of print-type members on the main thread, after the
// member call has returned, as a real control reports a job later.
class FakeControl::EventWindow final : public CWindowImplBase {
 public:
  explicit EventWindow(FakeControl* owner) : m_owner(owner) { Create(nullptr, RECT{}, nullptr, 0); }
  ~EventWindow() override {
    if (m_hWnd) ::DestroyWindow(m_hWnd);
  }
  BOOL ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM lParam, LRESULT& result, DWORD) override {
    if (message != WM_FAKE_JOB_EVENTS) return FALSE;
    auto* job = reinterpret_cast<Json::Value*>(lParam);
    if (m_owner) {
      Json::Value state = *job;
      state["status"] = "printing";
      m_owner->FireJobState(state);
      state["status"] = "completed";
      state["pagesPrinted"] = 1;
      m_owner->FireJobState(state);
      Json::Value done(Json::objectValue);
      done["type"] = (*job)["type"];
      done["jobId"] = (*job)["jobId"];
      done["message"] = "finished";
      m_owner->FireDone("success", done);
    }
    delete job;
    result = 0;
    return TRUE;
  }
  FakeControl* m_owner;
};

FakeControl::FakeControl() : m_window(new EventWindow(this)) {}

FakeControl::~FakeControl() {
  m_window->m_owner = nullptr;
  delete m_window;
  for (auto& sink : m_sinks) sink.second->Release();
}

FakeControl* FakeControl::Create() { return new FakeControl(); }

Json::Value FakeControl::DefaultResults() {
  Json::Value r(Json::objectValue);
  r["getVersion"] = "1.0.0-fake";
  r["getLocalMacAddress"] = "02-00-00-00-00-01";
  r["getCPUSerialNo"] = "fake-machine";
  r["getPrinters"] = Args({"Fake Printer A", "Fake Printer B"});
  r["getDefaultPrinter"] = "Fake Printer A";
  r["getFonts"] = Args({"DejaVu Sans", "DejaVu Serif"});
  Json::Value paper(Json::objectValue);
  paper["name"] = "A4";
  paper["width"] = 210;
  paper["height"] = 297;
  r["getPapers"] = Args({paper});
  Json::Value info(Json::objectValue);
  info["name"] = "Fake Printer A";
  info["state"] = "idle";
  info["accepting"] = true;
  r["getPrinterInfo"] = info;
  r["getPrinterStatus"] = info;
  r["isImplemented"] = true;
  r["isPrintableFileType"] = true;
  r["printToPDF"] = true;
  r["writeString"] = true;
  r["writeBase64"] = true;
  r["printToImage"] = true;
  r["setPrintBackground"] = true;
  r["liveUpdate"] = 0;
  r["fail"] = Json::Value(Json::arrayValue);
  return r;
}

std::vector<std::string> FakeControl::CalledMembers() const {
  std::vector<std::string> names;
  for (const Json::Value& c : calls) names.push_back(c["member"].asString());
  return names;
}

void FakeControl::Index() {
  auto names = [](const Json::Value& list) {
    std::vector<std::string> out;
    if (list.isArray())
      for (const Json::Value& v : list)
        if (v.isString()) out.push_back(v.asString());
    return out;
  };
  const Json::Value& results = m_results;
  m_failing = names(results["fail"]);
  m_throwing = names(results["throw"]);
  m_byMember.clear();
  if (results.isObject())
    for (auto it = results.begin(); it != results.end(); ++it) {
      const char* end = nullptr;
      const char* name = it.memberName(&end);
      Result& r = m_byMember[std::string_view(name, static_cast<size_t>(end - name))];
      r.value = &*it;
      const char* b = nullptr;
      const char* e = nullptr;
      if (it->getString(&b, &e)) r.text = Utf8ToUtf16(std::string_view(b, static_cast<size_t>(e - b)));
    }
  m_indexed = true;
}

const FakeControl::Result* FakeControl::IndexedResult(const char* member) {
  if (!m_indexed) Index();
  auto it = m_byMember.find(member);
  return it == m_byMember.end() ? nullptr : &it->second;
}

bool FakeControl::Fails(const char* member) {
  if (!m_indexed) Index();
  return std::find(m_failing.begin(), m_failing.end(), member) != m_failing.end();
}

void FakeControl::Record(const char* member, Json::Value args) {
  // A member listed in "throw" raises a C++ exception out of the call, as a
  // faulty control might.
  if (!m_indexed) Index();
  if (std::find(m_throwing.begin(), m_throwing.end(), member) != m_throwing.end())
    throw std::runtime_error(std::string("fake control: ") + member);
  // A member named in "sleepMs" takes that long, as a control waiting on a
  // scheduler that never answers does.
  if (sleepMs.isObject() && sleepMs.isMember(member) && sleepMs[member].isInt())
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs[member].asInt()));
  if (!record) return;
  Json::Value call(Json::objectValue);
  call["member"] = member;
  call["args"] = std::move(args);
  calls.push_back(std::move(call));
}

HRESULT FakeControl::OutVariant(const char* member, VARIANT* result) {
  if (Fails(member)) return E_FAIL;
  if (const Json::Value* r = ResultOf(member)) JsonToResultVariant(*r, result);
  return S_OK;
}

HRESULT FakeControl::OutText(const char* member, BSTR* result, const std::string& fallback) {
  if (Fails(member)) return E_FAIL;
  const Result* found = IndexedResult(member);
  const Json::Value* r = found ? found->value : nullptr;
  if (r && r->isString())
    *result = SysAllocStringU16(found->text);
  else if (!r && !fallback.empty())
    *result = SysAllocStringU16(Utf8ToUtf16(fallback));
  return S_OK;  // null stays null
}

HRESULT FakeControl::OutBool(const char* member, BOOL* result) {
  if (Fails(member)) return E_FAIL;
  static const Json::Value none;
  const Json::Value* found = ResultOf(member);
  const Json::Value& r = found ? *found : none;
  if (r.isBool()) *result = r.asBool() ? 1 : 0;
  if (r.isInt()) *result = r.asInt();
  return S_OK;
}

HRESULT FakeControl::OutLong(const char* member, LONG* result) {
  if (Fails(member)) return E_FAIL;
  const Json::Value* r = ResultOf(member);
  if (r && r->isInt()) *result = r->asInt();
  return S_OK;
}

void FakeControl::JobStarted(const char* member, IDispatch* job) {
  if (!fireJobEvents) return;
  static int nextJob = 1;
  auto* record = new Json::Value(Json::objectValue);
  (*record)["type"] = member;
  (*record)["jobId"] = nextJob++;
  (*record)["document"] = "fake document";
  (*record)["printerName"] = "Fake Printer A";
  (*record)["userName"] = "tester";
  (*record)["totalPages"] = 1;
  if (!m_window->PostMessage(WM_FAKE_JOB_EVENTS, 0, reinterpret_cast<LPARAM>(record))) delete record;
}

// ---- events --------------------------------------------------------------------

void FakeControl::Fire(DISPID id, VARIANT* args, UINT count) {
  // Sinks may detach while an event runs: work on a counted copy.
  auto sinks = m_sinks;
  for (auto& s : sinks) s.second->AddRef();
  for (auto& s : sinks) {
    DISPPARAMS params{args, nullptr, count, 0};
    Variant ignored;
    s.second->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &ignored, nullptr, nullptr);
  }
  for (auto& s : sinks) s.second->Release();
}

void FakeControl::FireDone(const std::string& text, const Json::Value& object) {
  Variant args[2];  // reverse order: the object, then the text
  args[0] = Variant::FromDispatch(nullptr);
  args[0].pdispVal = CJsonDispatch::Create(object).Detach();
  args[1] = Variant::FromString(Utf8ToUtf16(text));
  Fire(DISPID_PRINTEREVENT_ONDONE, args, 2);
}

void FakeControl::FireJobState(const Json::Value& job) {
  Variant args[1];
  args[0].vt = VT_DISPATCH;
  args[0].pdispVal = CJsonDispatch::Create(job).Detach();
  Fire(DISPID_PRINTEREVENT_ONJOBSTATE, args, 1);
}

void FakeControl::FireMessage(const Json::Value& object) {
  Variant args[1];
  args[0].vt = VT_DISPATCH;
  args[0].pdispVal = CJsonDispatch::Create(object).Detach();
  Fire(DISPID_PRINTEREVENT_ONMESSAGE, args, 1);
}

// ---- IUnknown / IDispatch / connection points ------------------------------------------

HRESULT FakeControl::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IPrinterControl)
    *ppv = static_cast<IPrinterControl*>(this);
  else if (riid == IID_IConnectionPointContainer)
    *ppv = static_cast<IConnectionPointContainer*>(this);
  else if (riid == IID_IConnectionPoint)
    *ppv = static_cast<IConnectionPoint*>(this);
  else
    return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG FakeControl::AddRef() { return ++m_refs; }

ULONG FakeControl::Release() {
  ULONG n = --m_refs;
  if (n == 0) delete this;
  return n;
}

HRESULT FakeControl::GetTypeInfoCount(UINT* n) {
  if (n) *n = 0;
  return S_OK;
}
HRESULT FakeControl::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT FakeControl::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }
HRESULT FakeControl::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT FakeControl::EnumConnectionPoints(IEnumConnectionPoints**) { return E_NOTIMPL; }
HRESULT FakeControl::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  if (!(riid == IID_IPrinterEvent)) return CONNECT_E_NOCONNECTION;
  *ppCP = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}
HRESULT FakeControl::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = IID_IPrinterEvent;
  return S_OK;
}
HRESULT FakeControl::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  *ppCPC = this;
  AddRef();
  return S_OK;
}
HRESULT FakeControl::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  IDispatch* d = nullptr;
  if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))) return CONNECT_E_CANNOTCONNECT;
  *cookie = m_nextCookie++;
  m_sinks.emplace_back(*cookie, d);
  return S_OK;
}
HRESULT FakeControl::Unadvise(DWORD cookie) {
  for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
    if (it->first == cookie) {
      IDispatch* d = it->second;
      m_sinks.erase(it);
      d->Release();
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}
HRESULT FakeControl::EnumConnections(IEnumConnections**) { return E_NOTIMPL; }

// ---- IPrinterControl ---------------------------------------------------------------------

HRESULT FakeControl::print(IDispatch* job, VARIANT_BOOL prompt) {
  Record("print", Args({DescribeObject(job), prompt}));
  JobStarted("print", job);
  return Fails("print") ? E_FAIL : S_OK;
}
HRESULT FakeControl::printPreview(IDispatch* job, VARIANT_BOOL prompt) {
  Record("printPreview", Args({DescribeObject(job), prompt}));
  JobStarted("printPreview", job);
  return Fails("printPreview") ? E_FAIL : S_OK;
}
HRESULT FakeControl::getPrinters(VARIANT* result) {
  Record("getPrinters", Args({}));
  return OutVariant("getPrinters", result);
}
HRESULT FakeControl::getVersion(BSTR* result) {
  Record("getVersion", Args({}));
  return OutText("getVersion", result, "");
}
HRESULT FakeControl::getFonts(VARIANT* result) {
  Record("getFonts", Args({}));
  return OutVariant("getFonts", result);
}
HRESULT FakeControl::setPageURL(BSTR url) {
  Record("setPageURL", Args({Text(url)}));
  return S_OK;
}
HRESULT FakeControl::getLocalMacAddress(BSTR* result) {
  Record("getLocalMacAddress", Args({}));
  return OutText("getLocalMacAddress", result, "");
}
HRESULT FakeControl::getCPUSerialNo(BSTR* result) {
  Record("getCPUSerialNo", Args({}));
  return OutText("getCPUSerialNo", result, "");
}
HRESULT FakeControl::setupNormalOffset(BSTR offset) {
  Record("setupNormalOffset", Args({Text(offset)}));
  return S_OK;
}
HRESULT FakeControl::getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) {
  Record("getPrinterStatus", Args({Text(printer), detail}));
  return OutVariant("getPrinterStatus", result);
}
HRESULT FakeControl::printToPDF(IDispatch* job, BSTR path, BOOL* result) {
  Record("printToPDF", Args({DescribeObject(job), Text(path)}));
  JobStarted("printToPDF", job);
  return OutBool("printToPDF", result);
}
HRESULT FakeControl::openFile(BSTR path) {
  Record("openFile", Args({Text(path)}));
  return S_OK;
}
HRESULT FakeControl::exportAsExcel(VARIANT* element, BSTR path, VARIANT_BOOL open, BOOL* result) {
  Record("exportAsExcel", Args({Describe(element), Text(path), open}));
  return OutBool("exportAsExcel", result);
}
HRESULT FakeControl::getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) {
  Record("getAbsoluteURL", Args({Text(url), Describe(base)}));
  return OutText("getAbsoluteURL", result, Text(url).asString());
}
HRESULT FakeControl::printTIFF(BSTR path, IDispatch* job, BSTR printer) {
  Record("printTIFF", Args({Text(path), job ? DescribeObject(job) : Json::Value(), Text(printer)}));
  return S_OK;
}
HRESULT FakeControl::getPapers(BSTR printer, VARIANT* result) {
  Record("getPapers", Args({Text(printer)}));
  return OutVariant("getPapers", result);
}
HRESULT FakeControl::isCustomPaperSupported(BSTR printer, BOOL* result) {
  Record("isCustomPaperSupported", Args({Text(printer)}));
  return OutBool("isCustomPaperSupported", result);
}
HRESULT FakeControl::isImplemented(BSTR name, BOOL* result) {
  Record("isImplemented", Args({Text(name)}));
  return OutBool("isImplemented", result);
}
HRESULT FakeControl::isExcelInstalled(BOOL* result) {
  Record("isExcelInstalled", Args({}));
  return OutBool("isExcelInstalled", result);
}
HRESULT FakeControl::getDefaultPrinter(VARIANT* result) {
  Record("getDefaultPrinter", Args({}));
  return OutVariant("getDefaultPrinter", result);
}
HRESULT FakeControl::showPageSetupDialog(VARIANT* result) {
  Record("showPageSetupDialog", Args({}));
  return OutVariant("showPageSetupDialog", result);
}
HRESULT FakeControl::getLastSettings(BSTR key, VARIANT* result) {
  Record("getLastSettings", Args({Text(key)}));
  return OutVariant("getLastSettings", result);
}
HRESULT FakeControl::setLastSettings(BSTR key, VARIANT* settings) {
  Record("setLastSettings", Args({Text(key), Describe(settings)}));
  return S_OK;
}
HRESULT FakeControl::clearLastSettings(BSTR key) {
  Record("clearLastSettings", Args({Text(key)}));
  return S_OK;
}
HRESULT FakeControl::setDefaultPrinter(BSTR printer) {
  Record("setDefaultPrinter", Args({Text(printer)}));
  return S_OK;
}
HRESULT FakeControl::setDragCSS(BSTR selector, BSTR css) {
  Record("setDragCSS", Args({Text(selector), Text(css)}));
  return S_OK;
}
HRESULT FakeControl::getPrinterInfo(BSTR printer, VARIANT* result) {
  Record("getPrinterInfo", Args({Text(printer)}));
  return OutVariant("getPrinterInfo", result);
}
HRESULT FakeControl::copied(BSTR path, BSTR* result) {
  Record("copied", Args({Text(path)}));
  return OutText("copied", result, "");
}
HRESULT FakeControl::copy(BSTR source, BSTR target) {
  Record("copy", Args({Text(source), Text(target)}));
  return S_OK;
}
HRESULT FakeControl::writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) {
  Record("writeString", Args({Text(path), Text(text), Text(encoding)}));
  return OutBool("writeString", result);
}
HRESULT FakeControl::readString(BSTR path, BSTR encoding, BSTR* result) {
  Record("readString", Args({Text(path), Text(encoding)}));
  return OutText("readString", result, "text of " + Text(path).asString());
}
HRESULT FakeControl::readHTML(BSTR path, BSTR encoding, BSTR* result) {
  Record("readHTML", Args({Text(path), Text(encoding)}));
  return OutText("readHTML", result, "<p>" + Text(path).asString() + "</p>");
}
HRESULT FakeControl::writeBase64(BSTR path, BSTR data, BOOL* result) {
  Record("writeBase64", Args({Text(path), Text(data)}));
  return OutBool("writeBase64", result);
}
HRESULT FakeControl::download(BSTR url, BSTR path, BOOL* result) {
  Record("download", Args({Text(url), Text(path)}));
  return OutBool("download", result);
}
HRESULT FakeControl::liveUpdate(BSTR url, BSTR version, LONG* result) {
  Record("liveUpdate", Args({Text(url), Text(version)}));
  return OutLong("liveUpdate", result);
}
HRESULT FakeControl::about() {
  Record("about", Args({}));
  return S_OK;
}
HRESULT FakeControl::readBase64(BSTR path, BSTR* result) {
  Record("readBase64", Args({Text(path)}));
  if (Fails("readBase64")) return E_FAIL;
  // "bytes:N" answers N characters of base64-looking text, for large results.
  std::string p = Text(path).asString();
  if (p.rfind("bytes:", 0) == 0 && !ResultOf("readBase64")) {
    size_t n = std::strtoull(p.c_str() + 6, nullptr, 10);
    static const char16_t kAlphabet[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    *result = SysAllocStringLen(nullptr, static_cast<UINT>(n));
    if (!*result) return E_OUTOFMEMORY;
    // The alphabet once, then doubled: the fake must not dominate a benchmark.
    size_t filled = std::min<size_t>(n, 64);
    std::memcpy(*result, kAlphabet, filled * sizeof(char16_t));
    while (filled < n) {
      size_t step = std::min(filled, n - filled);
      std::memcpy(*result + filled, *result, step * sizeof(char16_t));
      filled += step;
    }
    return S_OK;
  }
  return OutText("readBase64", result, "");
}
HRESULT FakeControl::exportAsImage(VARIANT* element, BSTR path, BSTR* result) {
  Record("exportAsImage", Args({Describe(element), Text(path)}));
  return OutText("exportAsImage", result, Text(path).asString());
}
HRESULT FakeControl::printToImage(IDispatch* job, BSTR path, BOOL* result) {
  Record("printToImage", Args({DescribeObject(job), Text(path)}));
  JobStarted("printToImage", job);
  return OutBool("printToImage", result);
}
HRESULT FakeControl::chooseFile(BSTR title, BSTR filter, VARIANT_BOOL save, BSTR* result) {
  Record("chooseFile", Args({Text(title), Text(filter), save}));
  return OutText("chooseFile", result, "");
}
HRESULT FakeControl::setPrintBackground(VARIANT_BOOL enabled, BOOL* result) {
  Record("setPrintBackground", Args({enabled}));
  return OutBool("setPrintBackground", result);
}
HRESULT FakeControl::setHostCode(LONG code) {
  Record("setHostCode", Args({static_cast<Json::Int>(code)}));
  return S_OK;
}
HRESULT FakeControl::setOffsetPage(LONG offset) {
  Record("setOffsetPage", Args({static_cast<Json::Int>(offset)}));
  return S_OK;
}
HRESULT FakeControl::printDocument(VARIANT* document, VARIANT* options) {
  Record("printDocument", Args({Describe(document), Describe(options)}));
  return S_OK;
}
HRESULT FakeControl::isPrintableFileType(BSTR type, BOOL* result) {
  Record("isPrintableFileType", Args({Text(type)}));
  return OutBool("isPrintableFileType", result);
}

// ---- registration ------------------------------------------------------------------------

void RegisterFakeControl(int slowAttempts, FakeControl** lastCreated) {
  auto remaining = std::make_shared<int>(slowAttempts);
  RegisterControlClass(CLSID_KestrixPrinter, [remaining, lastCreated](IUnknown** out) -> HRESULT {
    if (*remaining > 0) {
      --*remaining;
      return E_PENDING;
    }
    FakeControl* control = FakeControl::Create();
    if (lastCreated) *lastCreated = control;
    *out = static_cast<IPrinterControl*>(control);
    return S_OK;
  });
}

void RegisterFakeControlFromEnvironment() {
  const char* slow = std::getenv("KESTRIX_FAKE_SLOW");
  int attempts = slow ? std::atoi(slow) : 0;
  Json::Value overrides;
  if (const char* file = std::getenv("KESTRIX_FAKE_RESULTS")) {
    std::ifstream in(file);
    Json::Reader reader;
    reader.parse(in, overrides);
  }
  auto remaining = std::make_shared<int>(attempts);
  RegisterControlClass(CLSID_KestrixPrinter, [remaining, overrides](IUnknown** out) -> HRESULT {
    if (*remaining > 0) {
      --*remaining;
      return E_PENDING;
    }
    FakeControl* control = FakeControl::Create();
    control->record = false;
    if (overrides.isObject())
      for (const std::string& name : overrides.getMemberNames()) control->Results()[name] = overrides[name];
    if (overrides.isObject() && overrides.isMember("sleepMs")) control->sleepMs = overrides["sleepMs"];
    *out = static_cast<IPrinterControl*>(control);
    return S_OK;
  });
}
