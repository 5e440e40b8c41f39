// The document a browser has loaded: the DOM of the page, its script engine
// (one Duktape heap per document) and the controls its OBJECT elements host.
// Offered to the host as IHTMLDocument2; get_Script gives the script global
// object as IDispatchEx. Its IDispatch is the script's `document`.
//
// OBJECT elements that join the document ask the class registry for their
// control through a message posted to the site (the browser's window); a
// factory answering E_PENDING is asked again on a short timer, up to
// kObjectCreationTimeoutMs, so a control appears only while messages are pumped.
// A class the registry does not know is asked of the system's installed
// controls (platform/InstalledControls.h), for the page at this document's path.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/ComPtr.h"
#include "platform/webbrowser/BrowserInterfaces.h"
#include "platform/webbrowser/Dom.h"

class ScriptEngine;

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

class HtmlDocument final : public StandInDocument, private dom::DocumentHooks {
 public:
  // Pages larger than this are not loaded.
  static constexpr size_t kMaxPageBytes = 16u << 20;
  // How often and how long a control that is slow to appear is asked again.
  static constexpr UINT kObjectRetryMs = 10;
  static constexpr long long kObjectCreationTimeoutMs = 60000;

  // Reads and parses the page file (UTF-8); null when it cannot be read.
  static ComPtr<HtmlDocument> LoadFile(const std::string& path, DocumentSite* site);
  // Parses page text (UTF-8) into a new document with its own script heap.
  static ComPtr<HtmlDocument> LoadText(const std::string& html, DocumentSite* site);

  // Runs the page's own <script> elements (inline, script types only) in
  // document order. A script error ends that script, not the page.
  void RunPageScripts();
  // Tears the document down: the script heap, the DOM and the controls go;
  // script wrappers still held elsewhere then fail with E_UNEXPECTED.
  void Close();
  void OnSiteMessage(UINT message, WPARAM wParam, LPARAM lParam);

  const dom::NodePtr& Root() const { return m_root; }
  const std::shared_ptr<ScriptEngine>& Engine() const { return m_engine; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_ref; }
  ULONG STDMETHODCALLTYPE Release() override;
  // IDispatch: forwarded to the script's `document`.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT cNames, LCID lcid, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) override;
  // IHTMLDocument2
  HRESULT STDMETHODCALLTYPE get_Script(IDispatch** script) override;

 private:
  static constexpr UINT kMsgCreateObjects = kDocumentMessageFirst;
  static constexpr UINT_PTR kRetryTimer = 1;

  HtmlDocument() = default;
  ~HtmlDocument();
  void ObjectsInserted(const std::vector<dom::NodePtr>& objects) override;
  void CreateObjects(std::vector<dom::NodePtr> objects);
  // True when the element is done with (created or failed for good).
  bool CreateObject(dom::Node* object);
  ComPtr<IDispatch> DocumentObject();

  std::atomic<ULONG> m_ref{1};
  dom::NodePtr m_root;
  std::shared_ptr<ScriptEngine> m_engine;
  DocumentSite* m_site = nullptr;
  std::string m_path;  // the page file; "" for a page from text
  bool m_closed = false;
  std::vector<dom::NodePtr> m_pending;  // waiting for the posted message
  std::vector<dom::NodePtr> m_retry;    // waiting for the retry timer
  bool m_createPosted = false;
  bool m_timerSet = false;
  ComPtr<IDispatch> m_documentObject;
};
