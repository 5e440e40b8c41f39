// ControlProxy: construction and how the printing control is obtained from
// the page. Replies leave through its ReplyWriter. The per-command operations are in
// ControlCommands.cpp, the listener attachment in ControlEvents.cpp.
#include "dispatch/ControlProxy.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>
#include <string_view>

#include "framing/FrameWriter.h"
#include "platform/CodePage.h"
#include "platform/JsonText.h"
#include "platform/Kernel.h"
#include "platform/MessageLoop.h"
#include "platform/WebOrigin.h"

namespace {

// The host code handed to the control at set-up.
constexpr LONG kHostCode = 20;

// A file URL that names the path byte for byte: every byte outside the
// unreserved ASCII characters and '/' as %XX.
std::string FileUrl(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xF];
    }
  }
  return url;
}

// Starts the navigation; the HRESULT of Navigate2.
HRESULT NavigateTo(IWebBrowser2* browser, const std::string& path) {
  OleString target = AnsiToWide(path);
  // A path that is not text in the code page (a temporary folder named in
  // another charset) would come back changed from UTF-16: the browser is
  // given it as a file URL instead, which carries every byte.
  if (WideToAnsi(target) != path) target = AnsiToWide(FileUrl(path));
  Variant url = Variant::FromString(target);
  return browser->Navigate2(&url, nullptr, nullptr, nullptr, nullptr);
}

std::string HexResult(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
  return text;
}

// Runs one message of the thread, waiting for one no longer than until the
// deadline (true also when none came). False when it was the quit message,
// which is posted again so that the loop of process entry still ends as ordered.
bool PumpOneMessageFor(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  MSG msg;
  if (!GetMessageTimeout(&msg, static_cast<DWORD>(std::max<long long>(left.count(), 0)))) return true;
  if (msg.message == WM_QUIT) {
    PostQuitMessage(static_cast<int>(msg.wParam));
    return false;
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

void FreeExcepInfo(EXCEPINFO& e) {
  SysFreeString(e.bstrSource);
  SysFreeString(e.bstrDescription);
  SysFreeString(e.bstrHelpFile);
  e = EXCEPINFO{};
}

// Calls a global function of the script by name; false when it is missing or fails.
bool CallByName(IDispatch* script, const OleString& name, LCID lcid, VARIANT* args, UINT count,
                VARIANT* result) {
  VariantClear(result);
  if (!script) return false;
  OleString mutableName = name;
  LPOLESTR names[] = {mutableName.data()};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(script->GetIDsOfNames(IID_NULL, names, 1, lcid, &id))) return false;
  // A shallow copy: the callers keep ownership of what the values point to.
  std::vector<VARIANT> copy(args, args + count);
  DISPPARAMS params{copy.empty() ? nullptr : copy.data(), nullptr, count, 0};
  EXCEPINFO excep{};
  UINT argErr = static_cast<UINT>(-1);
  HRESULT hr = script->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, &excep, &argErr);
  FreeExcepInfo(excep);
  return SUCCEEDED(hr);
}

}  // namespace

ControlProxy::ControlProxy(IWebBrowser2* browser, HWND owner, PageWriter writePage)
    : m_hOwner(owner), m_writePage(std::move(writePage)) {
  m_spBrowser = browser;
  LoadBootstrapPage();
}

ControlProxy::~ControlProxy() = default;

void ControlProxy::LoadBootstrapPage() {
  m_controlDeadline = std::chrono::steady_clock::now() + kControlWait;
  std::string path = m_writePage ? m_writePage() : std::string();
  if (!m_spBrowser) {
    m_pageFailure = "the browser control could not be created";
    return;
  }
  if (path.empty()) {
    m_pageFailure = "the bootstrap page could not be written to the temporary folder";
    return;
  }
  HRESULT hr = NavigateTo(m_spBrowser, path);
  if (FAILED(hr)) m_pageFailure = "the browser could not load the bootstrap page (" + HexResult(hr) + ")";
}

void ControlProxy::Unavailable(const std::string& reason) {
  if (m_unavailable.empty()) {
    m_unavailable = reason;
    std::string line = "kestrix-host: the printing control is unavailable: " + reason + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
  throw KestrixNotFound{};
}

// ---- output -------------------------------------------------------------------

void ControlProxy::WriteMessage(const std::string& text) {
  m_thread.Check("ControlProxy::WriteMessage");
  m_out.WriteMessage(text);
}

void ControlProxy::WriteReply(const Json::Value* data, const std::string& event, int32_t index) {
  m_thread.Check("ControlProxy::WriteReply");
  m_out.WriteReply(data, event, index);
}

// ---- obtaining the control ------------------------------------------------------

bool ControlProxy::GetDocument(ComPtr<IHTMLDocument2>* document) {
  *document = nullptr;
  if (!m_spBrowser) return false;
  ComPtr<IDispatch> doc;
  if (FAILED(m_spBrowser->get_Document(&doc)) || !doc) return false;
  doc.QueryInterface(IID_IHTMLDocument2, document);
  return static_cast<bool>(*document);
}

ComPtr<IDispatch> ControlProxy::GetScript() {
  ComPtr<IHTMLDocument2> document;
  if (!GetDocument(std::addressof(document))) {
    m_spScript = nullptr;
    return m_spScript;
  }
  m_spScript = nullptr;
  document->get_Script(&m_spScript);
  return m_spScript;
}

Variant ControlProxy::CallScriptFunction(const std::string& name, VARIANT* arguments, UINT count) {
  m_thread.Check("ControlProxy::CallScriptFunction");
  ComPtr<IDispatch> script = GetScript();
  Variant result;
  if (!CallByName(script, AnsiToWide(name), LOCALE_SYSTEM_DEFAULT, arguments, count, &result)) {
    result.Clear();
    result = Variant::FromBool(false);
  }
  return result;
}

bool ControlProxy::InvokeGetKP(Variant* result) {
  // The first call's outcome is not looked at; the page may still be loading.
  CallByName(GetScript(), OLESTR("getKP"), LOCALE_USER_DEFAULT, nullptr, 0, result);
  for (;;) {
    if (CallByName(m_spScript, OLESTR("getKP"), LOCALE_USER_DEFAULT, nullptr, 0, result)) return true;
    // A page that can never load is not waited for; one that may, for a while.
    if (!m_pageFailure.empty() || std::chrono::steady_clock::now() >= m_controlDeadline) return false;
    if (!PumpOneMessageFor(m_controlDeadline)) return false;
    // The document may have appeared meanwhile: ask for its script again.
    GetScript();
  }
}

ComPtr<IPrinterControl> ControlProxy::GetControl() {
  m_thread.Check("ControlProxy::GetControl");
  if (m_spControl) return m_spControl;
  if (IsUnavailable()) throw KestrixNotFound{};
  Variant result;
  if (!InvokeGetKP(&result)) {
    if (!m_pageFailure.empty()) Unavailable(m_pageFailure);
    // The quit message ended the wait: the host is ending, nothing is recorded.
    if (std::chrono::steady_clock::now() < m_controlDeadline) throw KestrixNotFound{};
    Unavailable(m_spScript ? "the bootstrap page's getKP did not answer within " +
                                 std::to_string(kControlWait.count()) + " s"
                           : "the bootstrap page did not load within " + std::to_string(kControlWait.count()) +
                                 " s (the browser control has no page engine?)");
  }
  if (result.vt != VT_DISPATCH || !result.pdispVal) Unavailable("the bootstrap page's getKP gave no element");
  ComPtr<IHTMLObjectElement> element;
  ComPtr<IDispatch>(result.pdispVal).QueryInterface(IID_IHTMLObjectElement, std::addressof(element));
  if (!element) Unavailable("the bootstrap page's getKP gave no OBJECT element");
  ComPtr<IDispatch> hosted;
  HRESULT hr = element->get_object(&hosted);
  // Null while the control is being created; a failure means it never will be.
  while (SUCCEEDED(hr) && !hosted && std::chrono::steady_clock::now() < m_controlDeadline) {
    if (!PumpOneMessageFor(m_controlDeadline)) throw KestrixNotFound{};
    hr = element->get_object(&hosted);
  }
  if (!hosted)
    Unavailable("the printing control (class id " + std::string(kPrinterControlClassId) +
                ") could not be created" + (FAILED(hr) ? " (" + HexResult(hr) + ")" : "") + ": is it installed?");
  ComPtr<IPrinterControl> control;
  hosted.QueryInterface(IID_IPrinterControl, std::addressof(control));
  if (!control) Unavailable("the page's control does not offer IPrinterControl");
  m_spControl = control;
  SetupControl();
  return m_spControl;
}

void ControlProxy::SetupControl() {
  m_spControl->setPageURL(m_pageUrl.Get());
  m_spControl->setHostCode(kHostCode);
  m_bridge.SetScriptContext(m_spScript);
}

void ControlProxy::OnNew(const Json::Value& request) {
  m_thread.Check("ControlProxy::OnNew");
  // "sender" and "tab" that are not objects count as absent.
  const Json::Value* sender = request.isObject() ? request.find("sender", "sender" + 6) : nullptr;
  if (sender && !sender->isObject()) sender = nullptr;
  const Json::Value* tab = sender ? sender->find("tab", "tab" + 3) : nullptr;
  if (tab && !tab->isObject()) tab = nullptr;
  const Json::Value* id = tab ? tab->find("id", "id" + 2) : nullptr;
  m_out.SetTab(id ? *id : Json::Value());

  // The control keys the site's files, settings and ids by the origin it
  // reads from this address, and the site guard decided on the origin it read
  // from the same text: the control is handed the address as that one parser
  // spells it (ASCII, so no code page conversion on the way can make it name
  // another site). An address without an origin goes as given, unless a
  // control character in it could be cut off on the way and leave one.
  const Json::Value* url = sender ? sender->find("url", "url" + 3) : nullptr;
  const std::string text = url ? ReadTextParam(*url) : std::string();
  std::string rest;
  const WebOrigin origin = WebOrigin::Parse(text, &rest);
  const bool control = std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  m_pageUrl = Bstr(AnsiToWide(origin.IsValid() ? origin.Key() + rest : control ? std::string() : text));

  GetControl();
  SetupControl();
  m_bReady = true;
}
