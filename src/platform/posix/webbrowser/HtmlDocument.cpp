#include "platform/webbrowser/HtmlDocument.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cctype>
#include <chrono>

#include "platform/CodePage.h"
#include "platform/InstalledControls.h"

#include "platform/webbrowser/ControlClasses.h"
#include "platform/webbrowser/ScriptEngine.h"

namespace {

// Reads a whole regular file of at most limit bytes; false otherwise.
#ifdef _WIN32
// (Windows test builds: the path is in the thread's ANSI code page.)
bool ReadWholeFile(const std::string& path, size_t limit, std::string* out) {
  HANDLE file = ::CreateFileW(AnsiToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size) &&
            static_cast<unsigned long long>(size.QuadPart) <= limit;
  out->clear();
  char buf[65536];
  while (ok) {
    DWORD n = 0;
    if (!::ReadFile(file, buf, sizeof buf, &n, nullptr)) ok = false;
    if (!ok || n == 0) break;
    out->append(buf, n);
    if (out->size() > limit) ok = false;
  }
  ::CloseHandle(file);
  return ok;
}
#else
bool ReadWholeFile(const std::string& path, size_t limit, std::string* out) {
  // O_NONBLOCK: a FIFO at the path must not hang the load (it fails the
  // regular-file check below instead).
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= limit;
  out->clear();
  char buf[65536];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) ok = false;
    if (n <= 0) break;
    out->append(buf, static_cast<size_t>(n));
    if (out->size() > limit) ok = false;
  }
  close(fd);
  return ok;
}
#endif

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Inline scripts in a script language; anything with src is never fetched.
bool IsRunnableScript(const dom::Node* node) {
  if (dom::GetAttribute(node, "src")) return false;
  for (const char* attr : {"type", "language"}) {
    const std::string* value = dom::GetAttribute(node, attr);
    if (!value || value->empty()) continue;
    std::string v = Lower(*value);
    if (v.find("javascript") == std::string::npos && v.find("jscript") == std::string::npos &&
        v.find("ecmascript") == std::string::npos)
      return false;
  }
  return true;
}

}  // namespace

ComPtr<HtmlDocument> HtmlDocument::LoadFile(const std::string& path, DocumentSite* site) {
  std::string text;
  if (!ReadWholeFile(path, kMaxPageBytes, &text)) return nullptr;
  ComPtr<HtmlDocument> doc = LoadText(text, site);
  doc->m_path = path;
  return doc;
}

ComPtr<HtmlDocument> HtmlDocument::LoadText(const std::string& html, DocumentSite* site) {
  auto doc = ComPtr<HtmlDocument>::Attach(new HtmlDocument());
  doc->m_site = site;
  doc->m_root = dom::NewDocument();
  doc->m_root->hooks = doc.Get();
  dom::ParseDocumentInto(doc->m_root.get(), html);
  doc->m_engine = ScriptEngine::Create(doc->m_root);
  dom::NotifyInserted(doc->m_root.get());  // OBJECT elements of the page itself
  return doc;
}

HtmlDocument::~HtmlDocument() { Close(); }

void HtmlDocument::RunPageScripts() {
  if (m_closed || !m_engine) return;
  // The sources are taken first: a script may change the tree.
  std::vector<std::string> sources;
  std::vector<dom::Node*> scripts;
  dom::FindByTag(m_root.get(), "script", &scripts);
  for (dom::Node* script : scripts)
    if (IsRunnableScript(script)) sources.push_back(dom::TextContent(script));
  for (const std::string& source : sources) {
    if (m_closed || !m_engine->IsAlive()) break;
    std::string error;
    m_engine->Eval(source, &error);  // a failing script does not stop the page
  }
}

void HtmlDocument::Close() {
  if (m_closed) return;
  m_closed = true;
  if (m_site && m_timerSet) m_site->KillSiteTimer(kRetryTimer);
  m_site = nullptr;
  m_pending.clear();
  m_retry.clear();
  m_documentObject.Release();
  if (m_root) m_root->hooks = nullptr;
  if (m_engine) m_engine->Close();
  // The tree goes with the document (and with it the hosted controls).
  dom::NodePtr root = std::move(m_root);
  m_root.reset();
  if (root) dom::RemoveChildren(root.get());
}

void HtmlDocument::ObjectsInserted(const std::vector<dom::NodePtr>& objects) {
  long long now = NowMs();
  for (const dom::NodePtr& object : objects) {
    object->controlFirstTry = now;
    m_pending.push_back(object);
  }
  if (!m_createPosted && m_site) m_createPosted = m_site->PostToSite(kMsgCreateObjects, 0, 0);
}

void HtmlDocument::OnSiteMessage(UINT message, WPARAM wParam, LPARAM) {
  if (m_closed) return;
  ComPtr<HtmlDocument> self(this);  // a control's factory may run anything
  if (message == kMsgCreateObjects) {
    m_createPosted = false;
    std::vector<dom::NodePtr> objects = std::move(m_pending);
    m_pending.clear();
    CreateObjects(std::move(objects));
  } else if (message == WM_TIMER && wParam == kRetryTimer) {
    std::vector<dom::NodePtr> objects = std::move(m_retry);
    m_retry.clear();
    CreateObjects(std::move(objects));
  }
  if (!m_closed && m_site) {
    bool want = !m_retry.empty();
    if (want && !m_timerSet) m_timerSet = m_site->SetSiteTimer(kRetryTimer, kObjectRetryMs);
    if (!want && m_timerSet) {
      m_site->KillSiteTimer(kRetryTimer);
      m_timerSet = false;
    }
  }
}

void HtmlDocument::CreateObjects(std::vector<dom::NodePtr> objects) {
  for (const dom::NodePtr& object : objects) {
    if (m_closed) return;
    if (!CreateObject(object.get())) m_retry.push_back(object);
  }
}

bool HtmlDocument::CreateObject(dom::Node* object) {
  auto fail = [object](HRESULT hr) {
    object->controlState = dom::ControlState::Failed;
    object->controlError = hr;
    return true;
  };
  // Removed before its turn (as loadHTMLIE does with the OBJECTs it lays
  // out): never instantiated.
  if (!m_root || !dom::IsConnectedTo(object, m_root.get())) return fail(E_ABORT);
  const std::string* classid = dom::GetAttribute(object, "classid");
  if (!classid || classid->size() < 6 || Lower(classid->substr(0, 6)) != "clsid:")
    return fail(CLASS_E_CLASSNOTAVAILABLE);
  CLSID clsid;
  if (!GuidFromString(classid->substr(6), &clsid)) return fail(CLASS_E_CLASSNOTAVAILABLE);
  IUnknown* control = nullptr;
  HRESULT hr;
  try {
    hr = CreateControlInstance(clsid, IID_IUnknown, reinterpret_cast<void**>(&control));
    if (hr == REGDB_E_CLASSNOTREG) hr = CreateInstalledControl(clsid, m_path, &control);
  } catch (...) {
    hr = E_FAIL;  // a factory that throws is a factory that failed
    control = nullptr;
  }
  if (hr == E_PENDING) {
    if (NowMs() - object->controlFirstTry >= kObjectCreationTimeoutMs) return fail(HRESULT_FROM_WIN32(1460));
    return false;
  }
  if (FAILED(hr) || !control) return fail(FAILED(hr) ? hr : E_FAIL);
  object->control = ComPtr<IUnknown>::Attach(control);
  object->controlState = dom::ControlState::Created;
  return true;
}

HRESULT HtmlDocument::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IHTMLDocument2) {
    *ppv = static_cast<StandInDocument*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG HtmlDocument::Release() {
  ULONG r = --m_ref;
  if (r == 0) delete this;
  return r;
}

HRESULT HtmlDocument::GetTypeInfoCount(UINT* n) {
  if (!n) return E_POINTER;
  *n = 0;
  return S_OK;
}

HRESULT HtmlDocument::GetTypeInfo(UINT, LCID, ITypeInfo** out) {
  if (out) *out = nullptr;
  return E_NOTIMPL;
}

ComPtr<IDispatch> HtmlDocument::DocumentObject() {
  if (m_documentObject || m_closed) return m_documentObject;
  ComPtr<IDispatch> global;
  if (FAILED(get_Script(&global)) || !global) return nullptr;
  LPOLESTR name = const_cast<LPOLESTR>(OLESTR("document"));
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(global->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id))) return nullptr;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant value;
  if (FAILED(global->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr)))
    return nullptr;
  if (value.vt == VT_DISPATCH) m_documentObject = value.pdispVal;
  return m_documentObject;
}

HRESULT HtmlDocument::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT cNames, LCID lcid, DISPID* ids) {
  ComPtr<IDispatch> doc = DocumentObject();
  if (!doc) {
    for (UINT i = 0; ids && i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  return doc->GetIDsOfNames(riid, names, cNames, lcid, ids);
}

HRESULT HtmlDocument::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* excep, UINT* argErr) {
  ComPtr<IDispatch> doc = DocumentObject();
  if (!doc) return DISP_E_MEMBERNOTFOUND;
  return doc->Invoke(id, riid, lcid, flags, params, result, excep, argErr);
}

HRESULT HtmlDocument::get_Script(IDispatch** script) {
  if (!script) return E_POINTER;
  *script = nullptr;
  if (m_closed || !m_engine) return E_UNEXPECTED;
  IDispatchEx* global = nullptr;
  HRESULT hr = m_engine->GetGlobalObject(&global);
  if (FAILED(hr)) return hr;
  *script = global;  // IDispatchEx is an IDispatch
  return S_OK;
}
