#include "control/members/AutomationToJson.h"

#include <algorithm>
#include <cmath>

#include "control/base/ControlText.h"
#include "platform/ComPtr.h"

namespace {
struct Walk {
  DispatchReadLimits limits;
  int membersLeft;
  const std::vector<std::string>* knownNames;
};

Json::Value ReadVariant(const VARIANT& v, int depth, Walk& walk);

// A whole, non-negative script number that fits an index count.
bool AsLength(const VARIANT& value, LONG* length) {
  if (value.vt == VT_EMPTY || value.vt == VT_NULL || value.vt == VT_BSTR || value.vt == VT_BOOL ||
      value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN)
    return false;
  Variant number;
  if (FAILED(VariantChangeType(&number, &value, 0, VT_R8))) return false;
  const double d = number.dblVal;
  if (!(d >= 0) || d != std::floor(d) || d > 2147483647.0) return false;
  *length = static_cast<LONG>(d);
  return true;
}

// "0", "17": an index written the canonical way.
bool IndexName(const std::string& name, LONG* index) {
  if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0')) return false;
  long long v = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > 2147483646) return false;
  *index = static_cast<LONG>(v);
  return true;
}

// An array of length entries from the members an array listed (holes are null).
Json::Value ArrayFrom(const Json::Value& listed, LONG length, Walk& walk) {
  LONG present = 0;
  for (auto it = listed.begin(); it != listed.end(); ++it) {
    LONG index;
    if (IndexName(it.name(), &index) && index < length) ++present;
  }
  // Holes count against the bound as well: a length of 2^31 costs no more than the bound.
  const LONG kept = std::min<LONG>(length, present + std::max<LONG>(walk.membersLeft, 0));
  Json::Value result(Json::arrayValue);
  if (kept > 0) result.resize(static_cast<Json::ArrayIndex>(kept));
  LONG placed = 0;
  for (auto it = listed.begin(); it != listed.end(); ++it) {
    LONG index;
    if (IndexName(it.name(), &index) && index < kept) {
      result[static_cast<Json::ArrayIndex>(index)] = *it;
      ++placed;
    }
  }
  walk.membersLeft -= kept - placed;
  return result;
}

Json::Value ReadObject(IDispatch* object, int depth, Walk& walk) {
  if (!object || depth >= walk.limits.maxDepth || walk.membersLeft <= 0) return Json::Value();
  IDispatchEx* raw = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IDispatchEx, reinterpret_cast<void**>(&raw))) && raw) {
    // An array is told by what it is, not by a member's name: its "length"
    // is a whole number that it does not list among its own members (script
    // arrays never do), while {"width": 62, "length": 3} lists it and stays
    // an object. The members are read once, and become indexes or members.
    ComPtr<IDispatchEx> members = ComPtr<IDispatchEx>::Attach(raw);
    Json::Value listed(Json::objectValue);
    bool lengthListed = false;
    DISPID id = DISPID_STARTENUM;
    HRESULT hr = members->GetNextDispID(fdexEnumAll, DISPID_STARTENUM, &id);
    // An engine that hands back the start marker (with S_OK or S_FALSE) is done.
    while (hr == S_OK && id != DISPID_STARTENUM && walk.membersLeft > 0) {
      --walk.membersLeft;
      Bstr name;
      if (FAILED(members->GetMemberName(id, &name)) || !name) break;
      Variant member;
      std::string key = BstrToUtf8(name.Get());
      if (key == "length") lengthListed = true;
      if (ReadMember(object, key, &member)) listed[key] = ReadVariant(member, depth + 1, walk);
      hr = members->GetNextDispID(fdexEnumAll, id, &id);
    }
    Variant value;
    LONG length = 0;
    if (!lengthListed && ReadMember(object, "length", &value) && AsLength(value, &length))
      return ArrayFrom(listed, length, walk);
    return listed;
  }

  // An object that cannot list its members cannot show what it is: one with
  // a numeric "length" is read as an array, others through the names the
  // caller expects.
  Variant value;
  LONG count = 0;
  if (ReadMember(object, "length", &value) && AsLength(value, &count)) {
    Json::Value result(Json::arrayValue);
    for (LONG i = 0; i < count && walk.membersLeft > 0; ++i) {
      --walk.membersLeft;
      Variant item;
      ReadMember(object, std::to_string(i), &item);  // a hole reads as null
      result.append(ReadVariant(item, depth + 1, walk));
    }
    return result;
  }
  Json::Value result(Json::objectValue);
  if (walk.knownNames) {
    for (const std::string& key : *walk.knownNames) {
      if (walk.membersLeft <= 0) break;
      --walk.membersLeft;
      Variant member;
      if (ReadMember(object, key, &member)) result[key] = ReadVariant(member, depth + 1, walk);
    }
  }
  return result;
}

Json::Value ReadVariant(const VARIANT& v, int depth, Walk& walk) {
  if (v.vt == (VT_BYREF | VT_VARIANT)) return v.pvarVal ? ReadVariant(*v.pvarVal, depth, walk) : Json::Value();
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return Json::Value();
    case VT_BOOL:
      return Json::Value(v.boolVal != VARIANT_FALSE);
    case VT_I1: return Json::Value(static_cast<int>(v.cVal));
    case VT_UI1: return Json::Value(static_cast<int>(v.bVal));
    case VT_I2: return Json::Value(static_cast<int>(v.iVal));
    case VT_UI2: return Json::Value(static_cast<int>(v.uiVal));
    case VT_I4:
    case VT_INT:
      return Json::Value(static_cast<int>(v.lVal));
    case VT_UI4:
    case VT_UINT:
      return Json::Value(static_cast<Json::UInt>(v.ulVal));
    case VT_I8: return Json::Value(static_cast<Json::Int64>(v.llVal));
    case VT_UI8: return Json::Value(static_cast<Json::UInt64>(v.ullVal));
    case VT_R4:
    case VT_R8: {
      double d = v.vt == VT_R4 ? v.fltVal : v.dblVal;
      if (!std::isfinite(d)) return Json::Value();
      // Script numbers are doubles: whole ones read as integers.
      if (d == std::floor(d) && std::fabs(d) < 2147483648.0) return Json::Value(static_cast<int>(d));
      return Json::Value(d);
    }
    case VT_BSTR:
      return Json::Value(BstrToUtf8(v.bstrVal));
    case VT_DISPATCH:
      return v.pdispVal ? ReadObject(v.pdispVal, depth, walk) : Json::Value();
    case VT_UNKNOWN: {
      if (!v.punkVal) return Json::Value();
      IDispatch* disp = nullptr;
      if (FAILED(v.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp))) || !disp)
        return Json::Value();
      ComPtr<IDispatch> held = ComPtr<IDispatch>::Attach(disp);
      return ReadObject(held.Get(), depth, walk);
    }
    default: {
      Variant text;
      if (SUCCEEDED(VariantChangeType(&text, &v, 0, VT_BSTR))) return Json::Value(BstrToUtf8(text.bstrVal));
      return Json::Value();
    }
  }
}
}  // namespace

bool ReadMember(IDispatch* object, const std::string& name, VARIANT* out) {
  VariantClear(out);
  if (!object) return false;
  OleString wide = Utf8ToUtf16(name);
  LPOLESTR names[1] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return false;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, out, nullptr, nullptr))) {
    VariantClear(out);
    return false;
  }
  return true;
}

Json::Value DispatchToJson(IDispatch* object, const std::vector<std::string>& knownNames,
                           const DispatchReadLimits& limits) {
  Walk walk{limits, limits.maxMembers, knownNames.empty() ? nullptr : &knownNames};
  return ReadObject(object, 0, walk);
}

Json::Value VariantToJsonValue(const VARIANT& value, const std::vector<std::string>& knownNames,
                               const DispatchReadLimits& limits) {
  Walk walk{limits, limits.maxMembers, knownNames.empty() ? nullptr : &knownNames};
  return ReadVariant(value, 0, walk);
}
