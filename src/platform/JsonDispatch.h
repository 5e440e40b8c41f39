// A read-only automation object over a JSON value: how a control hands
// arrays and objects back to its caller. Objects answer their members by
// name; arrays answer "length" and "0", "1", ...; both can be walked with
// IDispatchEx::GetNextDispID / GetMemberName. Strings are UTF-8 in the JSON
// value and UTF-16 on the automation side.
#pragma once

#include <json/json.h>

#include "platform/Automation.h"

// A new object with one reference owned by the caller; value must be an
// array or an object (anything else gives an empty object).
IDispatch* CreateJsonDispatch(const Json::Value& value);
// A VARIANT for a JSON value: scalars as VT_I4 / VT_UI4 / VT_R8 / VT_BSTR /
// VT_BOOL / VT_NULL, arrays and objects as VT_DISPATCH of CreateJsonDispatch.
VARIANT JsonToAutomation(const Json::Value& value);
