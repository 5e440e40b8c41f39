// ControlProxy: the host's way to the printing control and the page's script.
//
// It holds the references into the hosted browser (browser, the document's
// script object, the control), the context that "new" sets (tab and page
// URL), the readiness that releases the inbound gate, the value bridge, the
// listener connection, and the ReplyWriter through which everything leaves.
// One operation per command carries a request's parameters to one member of
// IPrinterControl and writes the reply. Main thread only (checked in debug
// builds (platform/ThreadAffinity.h) at the entry points: the operations obtain the control through
// GetControl, replies and messages leave through WriteReply and WriteMessage).
#pragma once

#include <json/json.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "bridge/PrinterListener.h"
#include "bridge/ScriptValueBridge.h"
#include "dispatch/ParamKinds.h"
#include "dispatch/ReplyWriter.h"
#include "interfaces/PrinterControl.h"
#include "platform/ComPtr.h"
#include "platform/ThreadAffinity.h"
#include "platform/WebBrowserApi.h"

class FrameWriter;

// Raised when the printing control cannot be obtained from the page.
struct KestrixNotFound {};

class ControlProxy : public ListenerOwner {
 public:
  // Writes the bootstrap page and returns its path (narrow); supplied by the
  // browser layer, which owns the page.
  using PageWriter = std::function<std::string()>;

  // Takes its own reference to browser; as the last step writes the page and
  // starts the navigation to it (LoadBootstrapPage). Does not wait for the page.
  ControlProxy(IWebBrowser2* browser, HWND owner, PageWriter writePage);
  ~ControlProxy() override;
  ControlProxy(const ControlProxy&) = delete;
  ControlProxy& operator=(const ControlProxy&) = delete;

  bool IsReady() const { return m_bReady; }
  // True once the control is known to be out of reach for this run: the
  // browser control or the page is missing, the page's control could not be
  // created, or neither appeared within kControlWait of the navigation.
  // Every later GetControl raises KestrixNotFound at once.
  bool IsUnavailable() const { return !m_unavailable.empty(); }
  // Why, in a sentence (empty while not unavailable).
  const std::string& UnavailableReason() const { return m_unavailable; }
  // How long the page and its control may take to appear.
  static constexpr std::chrono::seconds kControlWait{30};
  Json::Value GetTab() const override { return m_out.Tab(); }

  // ---- what leaves (ReplyWriter) ----
  void WriteReply(const Json::Value* data, const std::string& event, int32_t index);
  void WriteMessage(const std::string& text) override;
  void SetFrameWriter(FrameWriter* writer) { m_out.SetFrameWriter(writer); }
  ReplyWriter& Out() { return m_out; }

  // ---- control invocation ----
  bool GetDocument(ComPtr<IHTMLDocument2>* document);
  ComPtr<IDispatch> GetScript();
  // arguments in dispatch order (the last argument of the script function first).
  Variant CallScriptFunction(const std::string& name, VARIANT* arguments, UINT count);
  // Calls the page's getKP until it succeeds, pumping messages between tries.
  // False when the quit message ended the wait (it is posted again), or
  // when the page is known to be missing or kControlWait has passed.
  bool InvokeGetKP(Variant* result);
  // Raises KestrixNotFound; the first time for a reason that will not go
  // away, it is recorded (IsUnavailable) and said on standard error.
  ComPtr<IPrinterControl> GetControl();
  void SetupControl();
  // "new": keeps the tab and hands the control the page's address
  // (setPageURL), spelled as WebOrigin reads it when it has an origin.
  void OnNew(const Json::Value& request);
  void LoadBootstrapPage();

  // ---- events ----
  void AttachListener(IDispatch* callback);
  ScriptValueBridge& Bridge() override { return m_bridge; }

  // ---- one operation per row of Commands.def, taking its parameters in the
  //      row's kinds and then the event name (not for commands that never reply) ----
  void about();
  void printPreview(const Json::Value& job, bool prompt);
  void print(const Json::Value& job, bool prompt);
  void getPrinters(const std::string& event);
  void getPapers(const std::string& printer, const std::string& event);
  void isCustomPaperSupported(const std::string& printer, const std::string& event);
  void isImplemented(const std::string& name, const std::string& event);
  void isExcelInstalled(const std::string& event);
  void getDefaultPrinter(const std::string& event);
  void getVersion(const std::string& event);
  void getLocalMacAddress(const std::string& event);
  void getCPUSerialNo(const std::string& event);
  void setOffsetPage(int32_t offset, const std::string& event);
  void isPrintableFileType(const std::string& type, const std::string& event);
  void setDragCSS(const std::string& selector, const std::string& css, const std::string& event);
  void clearLastSettings(const std::string& key, const std::string& event);
  void printDocument(const std::string& document, const Json::Value& options, const std::string& event);
  void printTIFF(const std::string& path, const Json::Value& job, const std::string& printer,
                 const std::string& event);
  void exportAsImage(const Json::Value& source, const std::string& path, const std::string& event);
  void exportAsExcel(const Json::Value& html, const std::string& path, bool open, const std::string& event);
  void setupNormalOffset(const std::string& offset, const std::string& event);
  void download(const std::string& url, const std::string& path, const std::string& event);
  void printToImage(const Json::Value& job, const std::string& path, const std::string& event);
  void printToPDF(const Json::Value& job, const std::string& path, const std::string& event);
  void liveUpdate(const std::string& url, const std::string& version, const std::string& event);
  void getFonts(const std::string& event);
  void copy(const std::string& source, const std::string& target, const std::string& event);
  void copied(const std::string& path, const std::string& event);
  void writeString(const std::string& path, const std::string& text, const std::string& encoding,
                   const std::string& event);
  void writeBase64(const std::string& path, const std::string& data, const std::string& event);
  void readString(const std::string& path, const std::string& encoding, const std::string& event);
  void readBase64(const std::string& path, const std::string& event);
  void readHTML(const std::string& path, const std::string& encoding, const std::string& event);
  void chooseFile(const std::string& title, const std::string& filter, bool save, const std::string& event);
  void showPageSetupDialog(const std::string& event);
  void getLastSettings(const std::string& key, const std::string& event);
  void getAbsoluteURL(const std::string& url, const Json::Value& base, const std::string& event);
  void setLastSettings(const std::string& key, const Json::Value& settings, const std::string& event);
  void setDefaultPrinter(const std::string& printer, const std::string& event);
  void openFile(const std::string& path, const std::string& event);
  void getPrinterInfo(const std::string& printer, const std::string& event);
  void getPrinterStatus(const std::string& printer, bool detail, const std::string& event);
  void setPrintBackground(bool enabled, const std::string& event);

 private:
  ScriptValueBridge m_bridge;
  Bstr m_pageUrl;
  ComPtr<IDispatch> m_spScript;
  ComPtr<IWebBrowser2> m_spBrowser;
  ComPtr<IPrinterControl> m_spControl;
  DWORD m_listenerCookie = 0;
  HWND m_hOwner = nullptr;
  bool m_bReady = false;
  std::string m_unavailable;
  // Why the page can never load, known when the navigation starts (empty if not).
  std::string m_pageFailure;
  std::chrono::steady_clock::time_point m_controlDeadline;

  // Records that the control is out of reach, says why, and raises.
  [[noreturn]] void Unavailable(const std::string& reason);

  PageWriter m_writePage;
  ReplyWriter m_out;
  // The thread that made the proxy: every operation, reply and message is
  // checked to come from it (checking builds).
  ThreadAffinity m_thread;

  // Result replies of the command operations.
  void ReplyNone(const std::string& event);
  void ReplyBool(BOOL result, const std::string& event);
  void ReplyLong(LONG result, const std::string& event);
  void ReplyText(BSTR result, const std::string& event);  // takes ownership of result
  void ReplyValue(VARIANT* result, const std::string& event);  // clears result
  // A JSON value as the automation value the control receives.
  Variant ToAutomation(const Json::Value& value);
};
