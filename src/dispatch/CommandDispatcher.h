// CommandDispatcher: turns one parsed request into one call of a control
// proxy operation, by the command table in CommandTable.h. Main thread only;
// keeps no state between requests, so re-entry while a proxy operation pumps
// messages needs no protection.
#pragma once

#include <json/json.h>

class ControlProxy;

class CommandDispatcher {
 public:
  // The proxy is not owned; it outlives the dispatcher.
  explicit CommandDispatcher(ControlProxy* proxy) : m_pProxy(proxy) {}

  // Carries the request out synchronously. A parameter of the wrong kind
  // raises Json::LogicError, a missing control KestrixNotFound: the caller
  // catches them (the request is then abandoned without a reply).
  void HandleRequest(const Json::Value& request);

 private:
  ControlProxy* m_pProxy;
};
