// The document a browser has loaded: the page text, its script engine and
// its DOM. Offered to the host as IHTMLDocument2 (get_Script gives the
// script global object).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/ComPtr.h"
#include "platform/WebBrowserApi.h"

// Messages a document posts to its site (the browser's hidden window).
constexpr UINT kDocumentMessageFirst = WM_USER + 16;
constexpr UINT kDocumentMessageLast = WM_USER + 31;

// Where a document posts work for later on its thread.
class DocumentSite {
 public:
  virtual bool PostToSite(UINT message, WPARAM wParam, LPARAM lParam) = 0;
  virtual bool SetSiteTimer(UINT_PTR id, UINT elapseMs) = 0;
  virtual void KillSiteTimer(UINT_PTR id) = 0;

 protected:
  ~DocumentSite() = default;
};

class HtmlDocument final : public IHTMLDocument2 {
 public:
  // Pages larger than this are not loaded.
  static constexpr size_t kMaxPageBytes = 16u << 20;

  // Reads and parses the page file; null when it cannot be read.
  static ComPtr<HtmlDocument> LoadFile(const std::string& path, DocumentSite* site);
  // Parses page text (UTF-8) into a new document.
  static ComPtr<HtmlDocument> LoadText(const std::string& html, DocumentSite* site);

  // Runs the page's own <script> elements in document order.
  void RunPageScripts();
  // Tears the document down: the script heap and the DOM go, script wrappers
  // still held elsewhere stop working. Safe to call twice.
  void Close();
  void OnSiteMessage(UINT message, WPARAM wParam, LPARAM lParam);

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override { return ++m_ref; }
  ULONG Release() override;
  // IDispatch
  HRESULT GetTypeInfoCount(UINT* n) override;
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** out) override;
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT cNames, LCID lcid, DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) override;
  // IHTMLDocument2
  HRESULT get_Script(IDispatch** script) override;

 private:
  HtmlDocument() = default;
  ~HtmlDocument();

  std::atomic<ULONG> m_ref{1};
  std::string m_text;
  DocumentSite* m_site = nullptr;
  bool m_closed = false;
};
