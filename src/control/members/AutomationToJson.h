// Reads what the page hands to the control (script objects, VARIANTs) into
// JSON, through IDispatch / IDispatchEx only: GetIDsOfNames + Invoke
// (DISPATCH_PROPERTYGET) by name, GetNextDispID / GetMemberName to list an
// object's members. Text comes out as UTF-8.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "platform/Automation.h"

struct DispatchReadLimits {
  int maxDepth = 32;            // deeper objects become null
  int maxMembers = 100000;      // members and indexes read in one walk, in all
};

// Objects that list their members (IDispatchEx) are arrays when they answer
// a whole, non-negative "length" that they do not list (as script arrays
// do), objects otherwise; a listed "length" is an ordinary member. An object
// that cannot list its members is an array when it has a numeric "length",
// else it is read through knownNames (when given).
Json::Value DispatchToJson(IDispatch* object, const std::vector<std::string>& knownNames = {},
                           const DispatchReadLimits& limits = {});
Json::Value VariantToJsonValue(const VARIANT& value, const std::vector<std::string>& knownNames = {},
                               const DispatchReadLimits& limits = {});

// One member by name (GetIDsOfNames + property get). False when the object
// has no such member or the read fails; out is then VT_EMPTY.
bool ReadMember(IDispatch* object, const std::string& name, VARIANT* out);
