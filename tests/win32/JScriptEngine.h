// A real script engine for tests on Windows: the system's JScript through
// IActiveScript. Its global object is what the bootstrap page's script object
// is to the host (an IDispatchEx whose members are the script's globals).
#pragma once

#include <activscp.h>

#include <string>

#include "platform/ComPtr.h"

class JScriptEngine {
 public:
  // Starts JScript with the given script text; Ok() tells whether it runs.
  explicit JScriptEngine(const wchar_t* script);
  ~JScriptEngine();
  bool Ok() const { return m_global != nullptr; }
  IDispatch* Global() const { return m_global.Get(); }
  // Calls a global function with arguments in script order; false on failure.
  bool Call(const wchar_t* name, std::initializer_list<VARIANT> args, VARIANT* result);

 private:
  ComPtr<IActiveScript> m_engine;
  ComPtr<IDispatch> m_global;
  IActiveScriptSite* m_site = nullptr;
};
