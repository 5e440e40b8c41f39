// ControlProxy: construction, the output writer, and how the printing control
// is obtained from the page. The per-command operations are in
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

// Long text results go out in pieces of at most this many bytes of text.
constexpr size_t kPieceBytes = 500000;
// A piece never shrinks below this while it is fitted under the message limit.
constexpr size_t kMinPieceBytes = 64;
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
  SetTab(Json::Value());
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

void ControlProxy::WriteMessage(const std::string& text) { SendText(AnsiToUtf8(text)); }

bool ControlProxy::SendText(std::string&& utf8) {
  if (utf8.size() > kMaxMessageBytes) {
    std::string note = "kestrix-host: dropped an outgoing message of " + std::to_string(utf8.size()) +
                       " bytes (the browser accepts at most " + std::to_string(kMaxMessageBytes) + ")";
    OutputDebugStringA(note.c_str());
    return false;
  }
  if (m_pWriter) m_pWriter->WriteOwnedFrame(std::move(utf8));
  return true;
}

std::string ControlProxy::EnvelopeText(const Json::Value* data, const std::string& event, int32_t index) const {
  // Members in ascending byte order, as the compact writer lists them.
  std::string text;
  text.reserve(event.size() + m_tabTail.size() + 32);
  text = "{";
  if (data) {
    text += "\"data\":";
    AppendCompactJson(text, *data);
    text += ',';
  }
  AppendEnvelopeTail(text, event, index);
  return AnsiToUtf8(std::move(text));
}

std::string ControlProxy::TextEnvelope(std::string_view data, const std::string& event, int32_t index,
                                       bool dataIsUtf8) const {
  std::string text;
  // A piece of a long text: built in a buffer an earlier piece left with the writer.
  if (data.size() >= FrameWriter::kMoveBytes && m_pWriter) text = m_pWriter->TakeBuffer();
  text.reserve(data.size() + event.size() + m_tabTail.size() + 32);
  text = "{\"data\":";
  AppendQuotedJson(text, data);
  text += ',';
  size_t tail = text.size();
  AppendEnvelopeTail(text, event, index);
  // Quoted UTF-8 stays valid UTF-8 without a NUL: only the rest is looked at
  // (once the code page is UTF-8 that is all AnsiToUtf8 would do).
  if (dataIsUtf8 && WideToAnsiIsUtf8()) {
    std::string_view rest = std::string_view(text).substr(tail);
    if (AnsiToUtf8(rest) == rest) return text;
  }
  return AnsiToUtf8(std::move(text));
}

void ControlProxy::AppendEnvelopeTail(std::string& text, const std::string& event, int32_t index) const {
  text += "\"event\":";
  AppendQuotedJson(text, event);
  if (index != -1) {
    text += ",\"index\":";
    text += std::to_string(index);
  }
  text += m_tabTail;
}

void ControlProxy::SetTab(const Json::Value& tab) {
  m_tab = tab;
  // Written once here rather than into every reply.
  m_tabTail = ",\"tab\":";
  AppendCompactJson(m_tabTail, m_tab);
  m_tabTail += "}\n";
}

void ControlProxy::WriteReply(const Json::Value* data, const std::string& event, int32_t index) {
  if (event.empty()) return;
  std::string text = EnvelopeText(data, event, index);
  if (text.size() <= kMaxMessageBytes) {
    SendText(std::move(text));
    return;
  }
  // Too long for the browser: a text result goes out in pieces like
  // "readBase64"; anything else is dropped with a note (SendText logs it).
  if (data && data->isString() && index == -1)
    WriteTextInPieces(data->asString(), event);
  else
    SendText(std::move(text));
}

// The text of WriteTextInPieces: all of it at hand, or a wide text converted
// a window at a time. Ahead() is what is left, or at least kAhead bytes of
// it: enough for a whole piece and for CharacterBoundary to look past its end.
class ControlProxy::TextSource {
 public:
  explicit TextSource(std::string_view text) : m_rest(text) {}
  explicit TextSource(OleStringView wide) : m_wide(wide), m_streaming(true), m_window(kAhead + 16, '\0') {
    TopUp();
  }

  std::string_view Ahead() const {
    return m_streaming ? std::string_view(m_window.data() + m_start, m_end - m_start) : m_rest;
  }
  // True when Ahead() holds all that is left.
  bool AllAhead() const { return !m_streaming || m_used == m_wide.size(); }
  bool Empty() const { return AllAhead() && Ahead().empty(); }
  // True when the text is UTF-8 made here (valid, no NUL): it needs no check.
  bool MadeHere() const { return m_streaming; }
  void Consume(size_t n) {
    if (!m_streaming) {
      m_rest.remove_prefix(n);
      return;
    }
    m_start += n;
    TopUp();
  }

 private:
  static constexpr size_t kAhead = kPieceBytes + 4;

  void TopUp() {
    if (m_used == m_wide.size() || m_end - m_start >= kAhead) return;
    std::memmove(m_window.data(), m_window.data() + m_start, m_end - m_start);
    m_end -= m_start;
    m_start = 0;
    // Whole characters until the buffer is full: at least kAhead bytes, or all.
    size_t written = 0;
    m_used += ConvertUtf16ToUtf8(m_wide.substr(m_used), m_window.data() + m_end, m_window.size() - m_end, &written);
    m_end += written;
  }

  std::string_view m_rest;
  OleStringView m_wide;
  bool m_streaming = false;
  std::string m_window;  // converted and not yet sent: [m_start, m_end)
  size_t m_start = 0;
  size_t m_end = 0;
  size_t m_used = 0;     // units of m_wide converted into the window
};

void ControlProxy::WriteTextInPieces(const std::string& text, const std::string& event) {
  TextSource source{std::string_view(text)};
  WritePieces(source, event);
}

void ControlProxy::WriteWideTextInPieces(OleStringView text, const std::string& event) {
  if (event.empty()) return;  // as for every reply: no event name, no reply
  if (!WideToAnsiIsUtf8()) {
    WriteTextInPieces(WideToAnsi(text), event);
    return;
  }
  TextSource source{text.substr(0, UnitsBeforeNul(text))};  // where WideToAnsi would stop
  WritePieces(source, event);
}

void ControlProxy::WritePieces(TextSource& source, const std::string& event) {
  if (event.empty()) return;  // as for every reply: no event name, no reply
  // An envelope that is over the limit without any text (a huge event name
  // or tab) can never be sent: dropped at once, not piece by shrinking piece.
  std::string bare = TextEnvelope({}, event, 0);
  if (bare.size() > kMaxMessageBytes) {
    SendText(std::move(bare));  // logs the drop
    return;
  }
  int32_t counter = 0;
  do {
    std::string_view rest = source.Ahead();
    size_t want = std::min(kPieceBytes, rest.size());
    for (;;) {
      size_t len = CharacterBoundary(rest, want);
      if (len == 0) len = std::min(want, rest.size());  // a single character longer than the piece
      bool last = source.AllAhead() && len == rest.size();
      std::string envelope = TextEnvelope(rest.substr(0, len), event, last ? -1 : counter, source.MadeHere());
      // Escaping can make a piece's envelope longer than the text: shrink until it fits.
      if (envelope.size() <= kMaxMessageBytes || len <= kMinPieceBytes) {
        SendText(std::move(envelope));
        source.Consume(len);
        break;
      }
      want = len / 2;
    }
    ++counter;
  } while (!source.Empty());
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
  // "sender" and "tab" that are not objects count as absent.
  const Json::Value* sender = request.isObject() ? request.find("sender", "sender" + 6) : nullptr;
  if (sender && !sender->isObject()) sender = nullptr;
  const Json::Value* tab = sender ? sender->find("tab", "tab" + 3) : nullptr;
  if (tab && !tab->isObject()) tab = nullptr;
  const Json::Value* id = tab ? tab->find("id", "id" + 2) : nullptr;
  SetTab(id ? *id : Json::Value());

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
