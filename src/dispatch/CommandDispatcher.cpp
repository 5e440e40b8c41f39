#include "dispatch/CommandDispatcher.h"

#include "dispatch/CommandTable.h"
#include "dispatch/ControlProxy.h"

void CommandDispatcher::HandleRequest(const Json::Value& request) {
  if (m_pProxy) DispatchCommand(*m_pProxy, request);
}

const Json::Value& RequestReader::Member(const char* name) const {
  static const Json::Value* const null = new Json::Value();
  if (!m_request.isObject()) return *null;
  const Json::Value* v = m_request.find(name, name + std::char_traits<char>::length(name));
  return v ? *v : *null;
}
