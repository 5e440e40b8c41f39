#include "platform/webbrowser/WebBrowser.h"

#include <atomic>
#include <string>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/ComPtr.h"
#include "platform/Window.h"
#include "platform/webbrowser/ControlClasses.h"
#include "platform/webbrowser/BrowserInterfaces.h"
#include "platform/webbrowser/HtmlDocument.h"
#ifdef _WIN32
#include "platform/webbrowser/OleEmbedding.h"
#endif

namespace {

// "file://" followed by the path with %XX escapes: the path's bytes. Any
// other target is taken as a path already.
std::string FilePathOf(const std::string& target) {
  constexpr std::string_view kScheme = "file://";
  if (target.compare(0, kScheme.size(), kScheme) != 0) return target;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string path;
  for (size_t i = kScheme.size(); i < target.size(); ++i) {
    if (target[i] == '%' && i + 2 < target.size() && hex(target[i + 1]) >= 0 && hex(target[i + 2]) >= 0) {
      path += static_cast<char>(hex(target[i + 1]) * 16 + hex(target[i + 2]));
      i += 2;
    } else {
      path += target[i];
    }
  }
  return path;
}

std::function<std::string(const std::string&)>& PageLocator() {
  static std::function<std::string(const std::string&)> locate;
  return locate;
}

// The browser's private messages, posted to its own hidden window.
constexpr UINT kMsgFinishNavigation = WM_USER + 1;

class CWebBrowser;

// The hidden window that receives the browser's posted work.
class BrowserWindow : public CWindowImplBase, public DocumentSite {
 public:
  explicit BrowserWindow(CWebBrowser* owner) : m_owner(owner) {}
  BOOL ProcessWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                            DWORD) override;
  // DocumentSite: work a document wants done later on this thread.
  bool PostToSite(UINT message, WPARAM wParam, LPARAM lParam) override {
    return m_hWnd && PostMessage(message, wParam, lParam);
  }
  bool SetSiteTimer(UINT_PTR id, UINT elapseMs) override { return m_hWnd && SetTimer(id, elapseMs); }
  void KillSiteTimer(UINT_PTR id) override {
    if (m_hWnd) KillTimer(id);
  }

 private:
  CWebBrowser* m_owner;
};

class CWebBrowser final : public StandInBrowser {
 public:
  CWebBrowser() : m_window(this) {
    RECT rc{0, 0, 0, 0};
    m_window.Create(nullptr, rc, L"WebBrowser", 0);
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IWebBrowser2) {
      *ppv = static_cast<IWebBrowser2*>(this);
      AddRef();
      return S_OK;
    }
#ifdef _WIN32
    // What the host's OLE container asks of the control it embeds.
    if (riid == IID_IOleObject) {
      *ppv = static_cast<IOleObject*>(&m_ole);
      AddRef();
      return S_OK;
    }
    if (riid == IID_IOleWindow || riid == IID_IOleInPlaceObject) {
      *ppv = static_cast<IOleInPlaceObject*>(&m_ole);
      AddRef();
      return S_OK;
    }
#endif
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_ref; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG r = --m_ref;
    if (r == 0) delete this;
    return r;
  }

  // IDispatch: the control's own automation members are not offered.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    if (n) *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* ids) override {
    for (UINT i = 0; ids && i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return DISP_E_MEMBERNOTFOUND;
  }

  // IWebBrowser2
  HRESULT STDMETHODCALLTYPE put_Silent(VARIANT_BOOL silent) override {
    m_silent = silent != VARIANT_FALSE;  // there are no dialogs to suppress
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Navigate2(VARIANT* url, VARIANT*, VARIANT*, VARIANT*, VARIANT*) override {
    if (!url) return E_INVALIDARG;
    const VARIANT* v = url;
    if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    if (v->vt != VT_BSTR || !v->bstrVal || SysStringLen(v->bstrVal) == 0) return E_INVALIDARG;
    // The target is a plain file-system path in the thread's code page, the
    // way the host converted it to UTF-16, or a file URL whose %XX escapes
    // give the path's bytes.
    m_pendingPath = FilePathOf(WideToAnsi(OleStringView(v->bstrVal, SysStringLen(v->bstrVal))));
    if (m_pendingPath.empty()) return E_INVALIDARG;
    ++m_navigation;
    if (!m_window.PostToSite(kMsgFinishNavigation, m_navigation, 0)) return E_FAIL;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE get_Document(IDispatch** document) override {
    if (!document) return E_POINTER;
    *document = nullptr;
    if (!m_document) return S_OK;  // nothing loaded yet
    return m_document->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(document));
  }

  // Runs when the posted navigation message is dispatched.
  void FinishNavigation(WPARAM navigation) {
    if (navigation != m_navigation) return;  // a later Navigate2 superseded it
    ComPtr<IWebBrowser2> self(this);         // a page script may release us
    ComPtr<HtmlDocument> old = std::move(m_document);
    if (old) old->Close();
    const std::string path = PageLocator() ? PageLocator()(m_pendingPath) : m_pendingPath;
    if (!path.empty()) m_document = HtmlDocument::LoadFile(path, &m_window);
    if (m_document) m_document->RunPageScripts();
  }

  // Work a document posted to the site window (object creation and retries).
  void OnDocumentMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    ComPtr<IWebBrowser2> self(this);
    if (ComPtr<HtmlDocument> doc = m_document) doc->OnSiteMessage(message, wParam, lParam);
  }

 private:
  ~CWebBrowser() {
    if (m_document) m_document->Close();
    m_document.Release();
    if (m_window.m_hWnd) m_window.DestroyWindow();
  }

  std::atomic<ULONG> m_ref{1};
  BrowserWindow m_window;
#ifdef _WIN32
  OleEmbedding m_ole{static_cast<IWebBrowser2*>(this), CLSID_WebBrowser};
#endif
  ComPtr<HtmlDocument> m_document;
  std::string m_pendingPath;
  WPARAM m_navigation = 0;
  bool m_silent = false;
};

BOOL BrowserWindow::ProcessWindowMessage(HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                                         DWORD) {
  result = 0;
  if (message == kMsgFinishNavigation) {
    m_owner->FinishNavigation(wParam);
    return TRUE;
  }
  if (message == WM_TIMER || (message >= kDocumentMessageFirst && message <= kDocumentMessageLast)) {
    m_owner->OnDocumentMessage(message, wParam, lParam);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

HRESULT CreateWebBrowser(IWebBrowser2** browser) {
  if (!browser) return E_POINTER;
  *browser = new CWebBrowser();  // starts with the caller's reference
  return S_OK;
}

void RegisterWebBrowserClass() {
  RegisterControlClass(CLSID_WebBrowser, [](IUnknown** instance) -> HRESULT {
    IWebBrowser2* browser = nullptr;
    HRESULT hr = CreateWebBrowser(&browser);
    *instance = browser;
    return hr;
  });
}

void SetPageLocator(std::function<std::string(const std::string& path)> locate) { PageLocator() = std::move(locate); }
