// ScriptValueBridge: JSON values <-> automation values and script objects.
//
// JSON objects and arrays become new "Object" / "Array" instances of the
// page's script engine, built only through IDispatch / IDispatchEx calls on
// the script context, so the bridge works on any engine that offers them.
// Towards JSON, script objects with a "length" member are arrays, others are
// walked member by member. Main thread only.
#pragma once

#include <json/json.h>

#include <string>

#include "platform/ComPtr.h"

class ScriptValueBridge {
 public:
  // Bounds for what a script can hand back: deeper nesting, an object met again
  // on the current path, and indexes at or beyond the cap become null / are not visited.
  static constexpr int kMaxDepth = 256;
  static constexpr int kMaxLength = 1000000;

  // Replaces the script context (the page's script object).
  void SetScriptContext(IDispatch* script);
  IDispatch* ScriptContext() const { return m_context.Get(); }

  // A new VARIANT owned by the caller (VariantClear). Objects and arrays need
  // the script context; without one they give VT_EMPTY.
  VARIANT JsonToVariant(const Json::Value& value);
  // Never changes v.
  Json::Value VariantToJson(const VARIANT& v);

  // Internal steps, public for tests.
  ComPtr<IDispatch> ConstructScriptObject(const std::u16string& constructorName);
  ComPtr<IDispatch> JsonObjectToScriptObject(const Json::Value& object, int depth = 0);
  ComPtr<IDispatch> JsonArrayToScriptArray(const Json::Value& array, int depth = 0);
  void SetScriptMember(IDispatchEx* object, const std::string& name, VARIANT* value);
  Json::Value ScriptObjectToJson(IDispatch* object);

 private:
  ComPtr<IDispatch> m_context;
};
