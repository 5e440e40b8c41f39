// How a request's parameters are read: the four parameter kinds.
//
// The rules are the host's own, applied here rather than left to the JSON
// library, whose conversions differ (it turns numbers into text, refuses text
// as a boolean, and words its errors differently). A value that cannot be
// read as the kind asks raises Json::LogicError with the kind's message.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

inline constexpr const char kNotConvertibleToString[] = "Type is not convertible to string";
inline constexpr const char kNotConvertibleToInt[] = "Type is not convertible to int";
inline constexpr const char kIntegerOutOfRange[] = "integer out of signed integer range";
inline constexpr const char kRealOutOfRange[] = "Real out of signed integer range";

// text: null -> "", string -> itself, boolean -> "true"/"false", else error.
std::string ReadTextParam(const Json::Value& v);
// flag: null -> false, string/array/object -> not empty, number -> not 0.
bool ReadFlagParam(const Json::Value& v);
// integer: null -> 0, boolean -> 0/1, integers in range, reals truncated toward 0.
int32_t ReadIntegerParam(const Json::Value& v);
// "params"[i] of a request; null when absent (also when "params" is not an array).
const Json::Value& ParamAt(const Json::Value& request, unsigned i);
