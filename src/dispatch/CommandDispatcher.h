// CommandDispatcher: turns one parsed request into one call of a control
// proxy operation, by the command table (Commands.def, read through
// CommandTable.h): the request is read once into its command's parameters,
// the site guard is asked whether the page's origin may use the command at
// all (the row's capabilities), and only then is the operation called.
//
// A refused command never reaches the proxy or the control. The host answers
// it with the reply envelope's members and "error" in place of "data":
//
//   {"error":{"capability":"printers","code":"permissionDenied",
//             "decidedBy":"nobody","mayAsk":true,"message":"...",
//             "method":"getPrinters","origin":"https://shop.test"},
//    "event":"<the request's event>","tab":<tab>}
//
// ("event" is left out when the request has none: print, printPreview.)
// decidedBy is "policy", "user", "session" or "nobody"; mayAsk is true only
// when nobody has decided, so the extension may ask the user and try again.
//
// Requests the extension's own pages send to manage decisions (the relay
// never forwards them from web pages):
//   {"method":"siteList","event":E}                      -> data: SiteGuard::List()
//   {"method":"siteDecide","event":E,"params":[origin, capability, "allow"|"block"|"forget", remember]}
//   {"method":"siteForget","event":E,"params":[origin]}  -> data: true
//   {"method":"siteCheck","event":E,"params":[method, params]}
//        -> data: true, or the refusal that command would get (for commands
//           that never reply, which the extension checks before sending)
// A refused decision answers {"error":{"code":"siteDecisionRefused","message":...},"event":E,"tab":T}.
// A request that needs the control once it is known to be out of reach
// (ControlProxy::IsUnavailable) answers
// {"error":{"code":"controlUnavailable","message":...},"event":E,"tab":T}.
//
// Main thread only. Re-entry while a proxy operation pumps messages is safe:
// the guard's state changes only between checks, never during a call.
#pragma once

#include <json/json.h>

#include "dispatch/SiteGuard.h"

class ControlProxy;

class CommandDispatcher {
 public:
  // The proxy is not owned; it outlives the dispatcher. Decisions come from
  // the files the environment names (SiteGuard::Paths::FromEnvironment).
  explicit CommandDispatcher(ControlProxy* proxy);
  // Decisions from the given files, looked at again at most every recheck.
  CommandDispatcher(ControlProxy* proxy, SiteGuard::Paths paths,
                    std::chrono::milliseconds recheck = std::chrono::milliseconds(250))
      : m_pProxy(proxy), m_guard(std::move(paths), recheck) {}

  // Carries the request out synchronously. A parameter of the wrong kind
  // raises Json::LogicError, a missing control KestrixNotFound: the caller
  // catches them (the request is then abandoned without a reply).
  void HandleRequest(const Json::Value& request);
  // The same for a request whose members "method" and "event" have been
  // found already (each null when the request has none of that name).
  struct Envelope {
    const Json::Value* method;
    const Json::Value* event;
  };
  void HandleRequest(const Json::Value& request, const Envelope& envelope);

  // The decisions about the page; "new" names the page through it.
  SiteGuard& Guard() { return m_guard; }

 private:
  bool HandleSiteRequest(const std::string& method, const Json::Value& request);
  // needed: what the command needs, all named when it is more than one.
  void Refuse(const Json::Value& request, const std::string& method, Capabilities needed, const Verdict& verdict);
  void WriteError(const Json::Value& request, Json::Value error);

  ControlProxy* m_pProxy;
  SiteGuard m_guard;
};
