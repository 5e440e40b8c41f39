// ScriptValueBridge: JSON values <-> automation values and script objects.
//
// JSON objects and arrays become new "Object" / "Array" instances of the
// page's script engine, built only through IDispatch / IDispatchEx calls on
// the script context, so the bridge works on any engine that offers them.
// Towards JSON, script arrays (a whole "length" they do not list among their
// members) become arrays, others are walked member by member. Main thread only.
#pragma once

#include <json/json.h>

#include <exception>
#include <string>
#include <vector>

#include "platform/ComPtr.h"

// Raised by a conversion that cannot go on: a string that could not be
// allocated (E_OUTOFMEMORY). The conversion is abandoned; its temporaries are
// released on the way out.
class BridgeError : public std::exception {
 public:
  explicit BridgeError(HRESULT hr) : m_hr(hr) {}
  HRESULT Result() const { return m_hr; }
  const char* what() const noexcept override { return "script value conversion failed"; }

 private:
  HRESULT m_hr;
};

class ScriptValueBridge {
 public:
  // Bounds for what a script can hand back: deeper nesting, an object met again
  // on the current path, and indexes at or beyond the cap become null / are not visited.
  static constexpr int kMaxDepth = 256;
  static constexpr int kMaxLength = 1000000;
  // Name lookups one conversion towards JSON may make ("length", every index,
  // every member). A shared sub-object reached along many paths would
  // otherwise multiply the work without bound; once spent, the walk stops
  // and the script objects not yet reached become null.
  static constexpr long kMaxLookups = 2000000;

  // Replaces the script context (the page's script object).
  void SetScriptContext(IDispatch* script);
  IDispatch* ScriptContext() const { return m_context.Get(); }

  // A new VARIANT owned by the caller (VariantClear). Objects and arrays need
  // the script context; without one they give VT_EMPTY.
  VARIANT JsonToVariant(const Json::Value& value);
  // Never changes v.
  Json::Value VariantToJson(const VARIANT& v);

  // Internal steps, public for tests.
  ComPtr<IDispatch> ConstructScriptObject(const OleString& constructorName);
  ComPtr<IDispatch> JsonObjectToScriptObject(const Json::Value& object, int depth = 0);
  ComPtr<IDispatch> JsonArrayToScriptArray(const Json::Value& array, int depth = 0);
  void SetScriptMember(IDispatchEx* object, const std::string& name, VARIANT* value);
  Json::Value ScriptObjectToJson(IDispatch* object);

 private:
  // One walk towards JSON: the objects on the current path (by identity) and
  // the lookups left.
  struct Walk {
    std::vector<IUnknown*> path;
    long lookupsLeft = kMaxLookups;
  };
  VARIANT JsonToVariantAt(const Json::Value& value, int depth);
  Json::Value VariantToJsonAt(const VARIANT& v, int depth, Walk& walk);
  Json::Value ScriptObjectToJsonAt(IDispatch* object, int depth, Walk& walk);
  bool IsArray(IDispatch* object, IDispatchEx* members, LONG* length, Walk& walk);
  bool ScriptNamesArray(IDispatch* object);

  ComPtr<IDispatch> m_context;
  // The script's own Object.prototype.toString, found on first use.
  ComPtr<IDispatchEx> m_className;
  bool m_classNameLooked = false;
};
