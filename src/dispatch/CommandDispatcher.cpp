#include "dispatch/CommandDispatcher.h"

#include "dispatch/CommandTable.h"
#include "dispatch/ControlProxy.h"
#include "platform/JsonText.h"
#include "platform/Kernel.h"

namespace {

const Json::Value* Member(const Json::Value& v, const char* name) {
  return v.isObject() ? v.find(name, name + std::char_traits<char>::length(name)) : nullptr;
}

std::string StringMember(const Json::Value& v, const char* name) {
  const Json::Value* m = Member(v, name);
  return m && m->isString() ? m->asString() : std::string();
}

// The page address of "new", read as OnNew reads it ("sender" and "url" of
// the wrong shape count as absent).
std::string PageUrl(const Json::Value& request) {
  const Json::Value* sender = Member(request, "sender");
  return sender ? StringMember(*sender, "url") : std::string();
}

// Every operation of the proxy, doing nothing: running the table against it
// reads a request's parameters exactly as the real call would, so a refused
// request of the wrong shape is dropped like any such request, unanswered.
struct ParameterCheck {
  void OnNew(const Json::Value&) {}
  void about() {}
  void printPreview(const Json::Value&, bool) {}
  void print(const Json::Value&, bool) {}
  void getPrinters(const std::string&) {}
  void getPapers(const std::string&, const std::string&) {}
  void isCustomPaperSupported(const std::string&, const std::string&) {}
  void isImplemented(const std::string&, const std::string&) {}
  void isExcelInstalled(const std::string&) {}
  void getDefaultPrinter(const std::string&) {}
  void getVersion(const std::string&) {}
  void getLocalMacAddress(const std::string&) {}
  void getCPUSerialNo(const std::string&) {}
  void setOffsetPage(int32_t, const std::string&) {}
  void isPrintableFileType(const std::string&, const std::string&) {}
  void setDragCSS(const std::string&, const std::string&, const std::string&) {}
  void clearLastSettings(const std::string&, const std::string&) {}
  void printDocument(const std::string&, const Json::Value&, const std::string&) {}
  void printTIFF(const std::string&, const Json::Value&, const std::string&, const std::string&) {}
  void exportAsImage(const Json::Value&, const std::string&, const std::string&) {}
  void exportAsExcel(const Json::Value&, const std::string&, bool, const std::string&) {}
  void setupNormalOffset(const std::string&, const std::string&) {}
  void download(const std::string&, const std::string&, const std::string&) {}
  void printToImage(const Json::Value&, const std::string&, const std::string&) {}
  void printToPDF(const Json::Value&, const std::string&, const std::string&) {}
  void liveUpdate(const std::string&, const std::string&, const std::string&) {}
  void getFonts(const std::string&) {}
  void copy(const std::string&, const std::string&, const std::string&) {}
  void copied(const std::string&, const std::string&) {}
  void writeString(const std::string&, const std::string&, const std::string&, const std::string&) {}
  void writeBase64(const std::string&, const std::string&, const std::string&) {}
  void readString(const std::string&, const std::string&, const std::string&) {}
  void readBase64(const std::string&, const std::string&) {}
  void readHTML(const std::string&, const std::string&, const std::string&) {}
  void chooseFile(const std::string&, const std::string&, bool, const std::string&) {}
  void showPageSetupDialog(const std::string&) {}
  void getLastSettings(const std::string&, const std::string&) {}
  void getAbsoluteURL(const std::string&, const Json::Value&, const std::string&) {}
  void setLastSettings(const std::string&, const Json::Value&, const std::string&) {}
  void setDefaultPrinter(const std::string&, const std::string&) {}
  void openFile(const std::string&, const std::string&) {}
  void getPrinterInfo(const std::string&, const std::string&) {}
  void getPrinterStatus(const std::string&, bool, const std::string&) {}
  void setPrintBackground(bool, const std::string&) {}
};

}  // namespace

CommandDispatcher::CommandDispatcher(ControlProxy* proxy)
    : m_pProxy(proxy), m_guard(SiteGuard::Paths::FromEnvironment()) {}

void CommandDispatcher::HandleRequest(const Json::Value& request) {
  HandleRequest(request, Envelope{Member(request, "method"), Member(request, "event")});
}

void CommandDispatcher::HandleRequest(const Json::Value& request, const Envelope& envelope) {
  if (!m_pProxy) return;
  // Read once here for every use below (a method that is not a string is
  // left to the command table, which reads it as it reads any text).
  const Json::Value* methodValue = envelope.method;
  const bool methodIsText = methodValue && methodValue->isString();
  const std::string method = methodIsText ? methodValue->asString() : std::string();
  if (std::string_view(method) == "new") m_guard.SetPage(PageUrl(request));
  if (HandleSiteRequest(method, request)) return;
  // A method that is not text names no command: the table reads it as text
  // (raising for a number) and calls nothing.
  if (!methodIsText) return DispatchCommand(*m_pProxy, request);
  // Outside the table: nothing is called and nothing is written.
  const Command<ControlProxy>* command = FindCommand<ControlProxy>(method);
  if (!command) return;
  if (Capabilities needed = RequiredCapabilities(request, method)) {
    Verdict verdict = m_guard.Check(needed);
    if (!verdict.allowed) {
      ParameterCheck check;
      DispatchCommand(check, request);  // raises as the real call would
      return Refuse(request, method, needed, verdict);
    }
  }
  try {
    command->run(*m_pProxy, RequestReader(request, envelope.event));
  } catch (const KestrixNotFound&) {
    if (!m_pProxy->IsUnavailable()) throw;  // the host is ending: no answer
    // A control that can never be reached gets every request a clear answer.
    Json::Value e(Json::objectValue);
    e["code"] = "controlUnavailable";
    e["message"] = "the printing control is unavailable: " + m_pProxy->UnavailableReason();
    WriteError(request, e);
  }
}

bool CommandDispatcher::HandleSiteRequest(const std::string& method, const Json::Value& request) {
  const std::string_view m = method;  // compared by length first
  if (m != "siteList" && m != "siteDecide" && m != "siteForget" && m != "siteCheck") return false;
  const RequestReader r(request);
  const std::string event = r.Event();
  std::string error;
  bool ok = true;
  if (method == "siteList") {
    Json::Value list = m_guard.List();
    m_pProxy->WriteReply(&list, event, -1);
    return true;
  }
  if (method == "siteCheck") {
    // The command as it would be sent: its method and parameters.
    Json::Value command(Json::objectValue);
    command["method"] = r.Text(0);
    command["params"] = r.Value(1);
    const Capabilities needed = RequiredCapabilities(command);
    Verdict verdict = m_guard.Check(needed);
    if (!verdict.allowed) {
      Refuse(request, command["method"].asString(), needed, verdict);
    } else {
      Json::Value yes(true);
      m_pProxy->WriteReply(&yes, event, -1);
    }
    return true;
  }
  if (method == "siteDecide") ok = m_guard.Decide(r.Text(0), r.Text(1), r.Text(2), r.Flag(3), &error);
  else ok = m_guard.Forget(r.Text(0), &error);
  if (ok) {
    Json::Value yes(true);
    m_pProxy->WriteReply(&yes, event, -1);
  } else {
    Json::Value e(Json::objectValue);
    e["code"] = "siteDecisionRefused";
    e["message"] = error;
    WriteError(request, e);
  }
  return true;
}

void CommandDispatcher::Refuse(const Json::Value& request, const std::string& method, Capabilities needed,
                               const Verdict& verdict) {
  const char* capability = CapabilityName(verdict.capability);
  const std::string& origin = m_guard.Origin();
  Json::Value e(Json::objectValue);
  e["code"] = "permissionDenied";
  e["capability"] = capability;
  e["method"] = method;
  e["origin"] = origin;
  e["decidedBy"] = DecidedByName(verdict.by);
  e["mayAsk"] = verdict.mayAsk;
  std::string who = origin.empty() ? std::string("this page") : origin;
  // A command that needs more than one capability names them all.
  const bool several = (needed & (needed - 1)) != 0;
  e["message"] = who + " may not use the capability \"" + capability + "\"" +
                 (several ? " (" + method + " needs " + CapabilityNamesText(needed) + ")" : std::string()) +
                 (verdict.mayAsk ? " (nobody has decided yet)" : "");
  WriteError(request, e);
}

void CommandDispatcher::WriteError(const Json::Value& request, Json::Value error) {
  Json::Value envelope(Json::objectValue);
  envelope["error"] = std::move(error);
  // Every answer carries the request's event name; print and printPreview have
  // none, so their refusal goes unanswered (the extension asks with siteCheck first).
  const std::string event = StringMember(request, "event");
  if (event.empty()) {
    OutputDebugStringA(("kestrix-host: refused without an answer: " + WriteCompactJson(error)).c_str());
    return;
  }
  envelope["event"] = event;
  envelope["tab"] = m_pProxy->GetTab();
  m_pProxy->WriteMessage(WriteCompactJson(envelope));
}

const Json::Value& RequestReader::Member(const char* name) const {
  static const Json::Value* const null = new Json::Value();
  if (!m_request.isObject()) return *null;
  const Json::Value* v = m_request.find(name, name + std::char_traits<char>::length(name));
  return v ? *v : *null;
}
