#include "bridge/ScriptValueBridge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/CodePage.h"

namespace {

// A BSTR for the text, or the out-of-memory error that abandons the conversion.
Bstr MakeBstr(OleStringView text) {
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!s) throw BridgeError(E_OUTOFMEMORY);
  return Bstr::Attach(s);
}

// Get a member by name: GetIDsOfNames, then a property get of that id.
// False when either call fails; *out is then empty. The id found goes to *found.
bool GetMemberByName(IDispatch* object, BSTR name, VARIANT* out, DISPID* found = nullptr) {
  VariantClear(out);
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[1] = {name};
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  if (found) *found = id;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  if (FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, out, nullptr,
                            nullptr))) {
    VariantClear(out);  // an engine may have written into it before failing
    return false;
  }
  return true;
}

// Put a member by id: references (objects, arrays, by-reference values) are
// first offered as a reference assignment; a plain assignment follows when
// that is not taken or not tried.
void PutMemberById(IDispatch* object, DISPID id, VARIANT* value) {
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS args = {value, &named, 1, 1};
  const VARTYPE vt = value->vt;
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH || (vt & (VT_ARRAY | VT_BYREF))) {
    if (SUCCEEDED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUTREF, &args, nullptr,
                                 nullptr, nullptr)))
      return;
  }
  object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &args, nullptr, nullptr, nullptr);
}

// Coerces src into a temporary of the given type; false when the platform refuses.
// Running out of memory abandons the conversion.
bool Coerce(const VARIANT& src, VARTYPE vt, Variant* out) {
  HRESULT hr = VariantChangeType(out, &src, 0, vt);
  if (hr == E_OUTOFMEMORY) throw BridgeError(hr);
  return SUCCEEDED(hr) && out->vt == vt;
}

std::string NarrowText(BSTR s) { return s ? WideToAnsi(OleStringView(s, SysStringLen(s))) : std::string(); }

ComPtr<IDispatchEx> QueryDispatchEx(IDispatch* object) {
  IDispatchEx* ex = nullptr;
  if (FAILED(object->QueryInterface(IID_IDispatchEx, reinterpret_cast<void**>(&ex)))) return nullptr;
  return ComPtr<IDispatchEx>::Attach(ex);
}

// COM identity of an object: its IUnknown pointer (the object itself when it
// does not answer, which only weakens the detection of repeats).
IUnknown* Identity(IDispatch* object) {
  IUnknown* unknown = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))) && unknown) {
    unknown->Release();  // the caller holds the object, so the identity stays valid
    return unknown;
  }
  return object;
}

}  // namespace

void ScriptValueBridge::SetScriptContext(IDispatch* script) {
  m_context = script;
  m_className = nullptr;
  m_classNameLooked = false;
}

// ---- towards the script side ------------------------------------------------

VARIANT ScriptValueBridge::JsonToVariant(const Json::Value& value) { return JsonToVariantAt(value, 0); }

VARIANT ScriptValueBridge::JsonToVariantAt(const Json::Value& value, int depth) {
  Variant out;
  switch (value.type()) {
    case Json::nullValue:
      break;
    case Json::intValue:
      // jsoncpp keeps 64-bit integers; one outside the 32-bit range travels as a real.
      if (value.isInt()) {
        out.vt = VT_I4;
        out.lVal = value.asInt();
      } else {
        out.vt = VT_R8;
        out.dblVal = value.asDouble();
      }
      break;
    case Json::uintValue:
      if (value.isUInt()) {
        out.vt = VT_UI4;
        out.ulVal = value.asUInt();
      } else {
        out.vt = VT_R8;
        out.dblVal = value.asDouble();
      }
      break;
    case Json::realValue:
      out.vt = VT_R8;
      out.dblVal = value.asDouble();
      break;
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      value.getString(&begin, &end);
      Bstr text = MakeBstr(AnsiToWide(std::string_view(begin, static_cast<size_t>(end - begin))));
      out.vt = VT_BSTR;
      out.bstrVal = text.Detach();
      break;
    }
    case Json::booleanValue:
      out.vt = VT_BOOL;
      out.boolVal = value.asBool() ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case Json::arrayValue:
    case Json::objectValue: {
      ComPtr<IDispatch> made = value.isArray() ? JsonArrayToScriptArray(value, depth)
                                               : JsonObjectToScriptObject(value, depth);
      if (made) {  // otherwise undefined: no context, too deep, or the engine refused
        out.vt = VT_DISPATCH;
        out.pdispVal = made.Detach();
      }
      break;
    }
  }
  VARIANT result;
  out.Detach(&result);
  return result;
}

ComPtr<IDispatch> ScriptValueBridge::ConstructScriptObject(const OleString& constructorName) {
  if (!m_context) return nullptr;
  Bstr name = MakeBstr(constructorName);
  LPOLESTR names[1] = {name.Get()};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(m_context->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return nullptr;
  ComPtr<IDispatchEx> context = QueryDispatchEx(m_context.Get());
  if (!context) return nullptr;
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  Variant made;
  if (FAILED(context->InvokeEx(id, LOCALE_USER_DEFAULT, DISPATCH_CONSTRUCT, &none, &made, nullptr, nullptr)))
    return nullptr;
  if ((made.vt != VT_DISPATCH && made.vt != VT_UNKNOWN) || !made.punkVal) return nullptr;
  ComPtr<IDispatch> object;
  IDispatch* raw = nullptr;
  if (SUCCEEDED(made.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&raw))))
    object = ComPtr<IDispatch>::Attach(raw);
  return object;
}

ComPtr<IDispatch> ScriptValueBridge::JsonArrayToScriptArray(const Json::Value& array, int depth) {
  if (depth >= kMaxDepth) return nullptr;
  ComPtr<IDispatch> made = ConstructScriptObject(OLESTR("Array"));
  if (!made) return nullptr;
  Bstr push = MakeBstr(OLESTR("push"));
  LPOLESTR names[1] = {push.Get()};
  for (Json::ArrayIndex i = 0, n = array.size(); i < n; ++i) {
    Variant element;
    VARIANT converted = JsonToVariantAt(array[i], depth + 1);
    static_cast<VARIANT&>(element) = converted;  // element now owns it
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(made->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) continue;
    DISPPARAMS args = {&element, nullptr, 1, 0};
    made->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &args, nullptr, nullptr, nullptr);
  }
  return made;
}

ComPtr<IDispatch> ScriptValueBridge::JsonObjectToScriptObject(const Json::Value& object, int depth) {
  if (depth >= kMaxDepth) return nullptr;
  ComPtr<IDispatch> made = ConstructScriptObject(OLESTR("Object"));
  if (!made) return nullptr;
  ComPtr<IDispatchEx> members = QueryDispatchEx(made.Get());
  if (!members) return made;  // an object we cannot add members to stays empty
  // jsoncpp iterates its members in ascending byte order of their names.
  for (auto it = object.begin(); it != object.end(); ++it) {
    Variant value;
    VARIANT converted = JsonToVariantAt(*it, depth + 1);
    static_cast<VARIANT&>(value) = converted;
    SetScriptMember(members.Get(), it.name(), &value);
  }
  return made;
}

void ScriptValueBridge::SetScriptMember(IDispatchEx* object, const std::string& name, VARIANT* value) {
  Bstr wide = MakeBstr(AnsiToWide(name));
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(object->GetDispID(wide.Get(), fdexNameCaseSensitive | fdexNameEnsure, &id))) return;
  PutMemberById(object, id, value);
}

// ---- towards JSON -----------------------------------------------------------

Json::Value ScriptValueBridge::VariantToJson(const VARIANT& v) {
  Walk walk;
  return VariantToJsonAt(v, 0, walk);
}

Json::Value ScriptValueBridge::ScriptObjectToJson(IDispatch* object) {
  Walk walk;
  return ScriptObjectToJsonAt(object, 0, walk);
}

Json::Value ScriptValueBridge::VariantToJsonAt(const VARIANT& v, int depth, Walk& walk) {
  if (v.vt & (VT_ARRAY | VT_BYREF)) return Json::Value();
  Variant coerced;
  switch (v.vt) {
    case VT_I2: case VT_I4: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_I8: case VT_UI8: case VT_INT: case VT_UINT:
      if (!Coerce(v, VT_I4, &coerced)) return Json::Value();  // out of the signed 32-bit range
      return Json::Value(static_cast<Json::Int>(coerced.lVal));
    case VT_R4: case VT_R8: case VT_DECIMAL:
      if (!Coerce(v, VT_R8, &coerced)) return Json::Value();
      return Json::Value(coerced.dblVal);
    case VT_BSTR:
      // Read in place: a null string is the empty text by platform convention.
      return Json::Value(NarrowText(v.bstrVal));
    case VT_LPSTR: case VT_LPWSTR: case VT_CLSID:
      if (!Coerce(v, VT_BSTR, &coerced)) return Json::Value();
      return Json::Value(NarrowText(coerced.bstrVal));
    case VT_DISPATCH:
      if (!v.pdispVal) return Json::Value();
      return ScriptObjectToJsonAt(v.pdispVal, depth, walk);
    case VT_ERROR: case VT_BOOL:
      if (!Coerce(v, VT_BOOL, &coerced)) return Json::Value();
      return Json::Value(coerced.boolVal == VARIANT_TRUE);
    default:
      return Json::Value();
  }
}

// An array is told by what it is, not by a member's name: a script array's
// "length" is a whole, non-negative number that it does not list among its own
// members, while {"width": 62, "length": 3} lists it and stays an object. An
// object that cannot list its members is an array when it has such a length.
bool ScriptValueBridge::IsArray(IDispatch* object, IDispatchEx* members, LONG* length, Walk& walk) {
  --walk.lookupsLeft;
  Bstr lengthName = MakeBstr(OLESTR("length"));
  DISPID lengthId = DISPID_UNKNOWN;
  Variant value;
  if (!GetMemberByName(object, lengthName.Get(), &value, &lengthId)) return false;
  Variant number;
  if (value.vt == VT_EMPTY || value.vt == VT_NULL || value.vt == VT_BSTR || value.vt == VT_BOOL ||
      value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN || !Coerce(value, VT_R8, &number))
    return false;
  const double d = number.dblVal;
  if (!(d >= 0) || d != std::floor(d)) return false;
  *length = static_cast<LONG>(std::min<double>(d, kMaxLength));
  if (!members) return true;
  // What the script itself calls an array never lists its length; other
  // objects with a whole length (a typed array, a list of the page's) are
  // asked whether they list it: their list is walked by id, no value read.
  if (ScriptNamesArray(object)) return true;
  DISPID id = DISPID_STARTENUM;
  HRESULT hr = members->GetNextDispID(fdexEnumAll, DISPID_STARTENUM, &id);
  while (hr == S_OK && id != DISPID_STARTENUM && walk.lookupsLeft > 0) {
    if (id == lengthId) return false;
    --walk.lookupsLeft;
    hr = members->GetNextDispID(fdexEnumAll, id, &id);
  }
  return true;
}

// Object.prototype.toString.call(object) == "[object Array]", through the
// script context: one call, however many elements. False when it cannot ask.
bool ScriptValueBridge::ScriptNamesArray(IDispatch* object) {
  if (!m_classNameLooked) {
    m_classNameLooked = true;
    Variant holder, prototype, function;
    Bstr objectName = MakeBstr(OLESTR("Object")), prototypeName = MakeBstr(OLESTR("prototype")),
         toStringName = MakeBstr(OLESTR("toString"));
    if (m_context && GetMemberByName(m_context.Get(), objectName.Get(), &holder) && holder.vt == VT_DISPATCH &&
        holder.pdispVal && GetMemberByName(holder.pdispVal, prototypeName.Get(), &prototype) &&
        prototype.vt == VT_DISPATCH && prototype.pdispVal &&
        GetMemberByName(prototype.pdispVal, toStringName.Get(), &function) && function.vt == VT_DISPATCH &&
        function.pdispVal)
      m_className = QueryDispatchEx(function.pdispVal);
  }
  if (!m_className) return false;
  VARIANT self;
  VariantInit(&self);
  self.vt = VT_DISPATCH;
  self.pdispVal = object;  // borrowed for the call
  DISPID named = DISPID_THIS;
  DISPPARAMS params = {&self, &named, 1, 1};
  Variant name;
  if (FAILED(m_className->InvokeEx(DISPID_VALUE, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &name, nullptr,
                                   nullptr)) ||
      name.vt != VT_BSTR || !name.bstrVal)
    return false;
  static constexpr OLECHAR kArray[] = OLESTR("[object Array]");
  const size_t n = sizeof kArray / sizeof kArray[0] - 1;
  return SysStringLen(name.bstrVal) == n && std::equal(kArray, kArray + n, name.bstrVal);
}

Json::Value ScriptValueBridge::ScriptObjectToJsonAt(IDispatch* object, int depth, Walk& walk) {
  if (!object || depth >= kMaxDepth || walk.lookupsLeft <= 0) return Json::Value();
  IUnknown* identity = Identity(object);
  if (std::find(walk.path.begin(), walk.path.end(), identity) != walk.path.end()) return Json::Value();
  walk.path.push_back(identity);
  struct PathGuard {
    Walk& walk;
    ~PathGuard() { walk.path.pop_back(); }
  } guard{walk};

  Variant value;
  ComPtr<IDispatchEx> members = QueryDispatchEx(object);
  LONG length = 0;
  if (IsArray(object, members.Get(), &length, walk)) {
    Json::Value result(Json::arrayValue);
    char digits[16];
    OLECHAR wide[16];
    for (LONG i = 0; i < length && walk.lookupsLeft > 0; ++i) {
      int len = std::snprintf(digits, sizeof digits, "%d", static_cast<int>(i));
      for (int k = 0; k < len; ++k) wide[k] = static_cast<OLECHAR>(digits[k]);  // digits are ASCII
      Bstr indexName = MakeBstr(OleStringView(wide, static_cast<size_t>(len)));
      --walk.lookupsLeft;
      if (!GetMemberByName(object, indexName.Get(), &value)) continue;
      // Storing at i fills the skipped indexes before it with null.
      result[static_cast<Json::ArrayIndex>(i)] = VariantToJsonAt(value, depth + 1, walk);
    }
    return result;
  }

  Json::Value result(Json::objectValue);
  if (!members) return result;  // no way to list its members
  DISPID id = DISPID_STARTENUM;
  HRESULT hr = members->GetNextDispID(fdexEnumAll, DISPID_STARTENUM, &id);
  // DISPID_STARTENUM back again means the walk is over (some engines say so
  // with S_FALSE); stopping there also keeps a confused engine from looping.
  while (SUCCEEDED(hr) && id != DISPID_STARTENUM && walk.lookupsLeft > 0) {
    Bstr name;
    if (FAILED(members->GetMemberName(id, &name))) break;
    --walk.lookupsLeft;
    // By name, not by id, as every read of a member is made.
    if (name && GetMemberByName(object, name.Get(), &value))
      result[NarrowText(name.Get())] = VariantToJsonAt(value, depth + 1, walk);
    hr = members->GetNextDispID(fdexEnumAll, id, &id);
  }
  return result;
}
