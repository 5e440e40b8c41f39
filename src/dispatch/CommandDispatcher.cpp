#include "dispatch/CommandDispatcher.h"

#include "dispatch/CommandTable.h"
#include "dispatch/ControlProxy.h"
#include "platform/JsonText.h"
#include "platform/Kernel.h"

namespace {

std::string StringMember(const Json::Value& v, const char* name) {
  const Json::Value* m = RequestMember(v, name);
  return m && m->isString() ? m->asString() : std::string();
}

// The page address of "new", read as OnNew reads it ("sender" and "url" of
// the wrong shape count as absent).
std::string PageUrl(const Json::Value& request) {
  const Json::Value* sender = RequestMember(request, "sender");
  return sender ? StringMember(*sender, "url") : std::string();
}

}  // namespace

CommandDispatcher::CommandDispatcher(ControlProxy* proxy)
    : m_pProxy(proxy), m_guard(SiteGuard::Paths::FromEnvironment()) {}

void CommandDispatcher::HandleRequest(const Json::Value& request) {
  HandleRequest(request, Envelope{RequestMember(request, "method"), RequestMember(request, "event")});
}

void CommandDispatcher::HandleRequest(const Json::Value& request, const Envelope& envelope) {
  if (!m_pProxy) return;
  // Read once here for every use below; a method that is not text raises
  // as any text parameter of the wrong kind does.
  const std::string method = ReadMethod(envelope.method);
  if (std::string_view(method) == "new") m_guard.SetPage(PageUrl(request));
  if (HandleSiteRequest(method, request)) return;
  // The command's parameters are read (and a wrong kind raised) before the
  // guard is asked, so a refused request of the wrong shape is dropped like
  // any such request, unanswered.
  try {
    DispatchRequest(*m_pProxy, request, envelope.method, envelope.event, [&](const ParsedCommand& command) {
      Capabilities needed = NeededBy(command);
      needed |= AddedByContent(request, method, needed);
      if (!needed) return true;
      Verdict verdict = m_guard.Check(needed);
      if (!verdict.allowed) Refuse(request, method, needed, verdict);
      return verdict.allowed;
    });
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
  const std::string event = ReadEvent(request);
  auto text = [&](unsigned i) { return ReadTextParam(ParamAt(request, i)); };
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
    command["method"] = text(0);
    command["params"] = ParamAt(request, 1);
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
  if (method == "siteDecide") ok = m_guard.Decide(text(0), text(1), text(2), ReadFlagParam(ParamAt(request, 3)), &error);
  else ok = m_guard.Forget(text(0), &error);
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
