#include "dispatch/CommandDispatcher.h"

#include "dispatch/CommandTable.h"
#include "dispatch/ControlProxy.h"
#include "platform/JsonText.h"

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

}  // namespace

CommandDispatcher::CommandDispatcher(ControlProxy* proxy)
    : m_pProxy(proxy), m_guard(SiteGuard::Paths::FromEnvironment()) {}

void CommandDispatcher::HandleRequest(const Json::Value& request) {
  if (!m_pProxy) return;
  const std::string method = StringMember(request, "method");
  if (method == "new") m_guard.SetPage(PageUrl(request));
  if (HandleSiteRequest(method, request)) return;
  if (Capabilities needed = RequiredCapabilities(request)) {
    Verdict verdict = m_guard.Check(needed);
    if (!verdict.allowed) return Refuse(request, method, verdict);
  }
  DispatchCommand(*m_pProxy, request);
}

bool CommandDispatcher::HandleSiteRequest(const std::string& method, const Json::Value& request) {
  if (method != "siteList" && method != "siteDecide" && method != "siteForget") return false;
  const RequestReader r(request);
  const std::string event = r.Event();
  std::string error;
  bool ok = true;
  if (method == "siteList") {
    Json::Value list = m_guard.List();
    m_pProxy->WriteReply(&list, event, -1);
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
    e["message"] = method + ": " + error;
    WriteError(request, e);
  }
  return true;
}

void CommandDispatcher::Refuse(const Json::Value& request, const std::string& method, const Verdict& verdict) {
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
  e["message"] = method + ": " + who + " may not use the capability \"" + capability + "\"" +
                 (verdict.mayAsk ? " (nobody has decided yet)" : "");
  WriteError(request, e);
}

void CommandDispatcher::WriteError(const Json::Value& request, Json::Value error) {
  Json::Value envelope(Json::objectValue);
  envelope["error"] = std::move(error);
  const Json::Value* event = Member(request, "event");
  if (event && event->isString() && !event->asString().empty()) envelope["event"] = *event;
  envelope["tab"] = m_pProxy->GetTab();
  m_pProxy->WriteMessage(WriteCompactJson(envelope));
}

const Json::Value& RequestReader::Member(const char* name) const {
  static const Json::Value* const null = new Json::Value();
  if (!m_request.isObject()) return *null;
  const Json::Value* v = m_request.find(name, name + std::char_traits<char>::length(name));
  return v ? *v : *null;
}
