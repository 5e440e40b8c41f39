#include "dispatch/ParamKinds.h"

#include <cmath>

std::string ReadTextParam(const Json::Value& v) {
  switch (v.type()) {
    case Json::nullValue: return std::string();
    case Json::stringValue: return v.asString();
    case Json::booleanValue: return v.asBool() ? "true" : "false";
    default: throw Json::LogicError(kNotConvertibleToString);
  }
}

bool ReadFlagParam(const Json::Value& v) {
  switch (v.type()) {
    case Json::nullValue: return false;
    case Json::booleanValue: return v.asBool();
    case Json::intValue: return v.asInt64() != 0;
    case Json::uintValue: return v.asUInt64() != 0;
    case Json::realValue: return v.asDouble() != 0.0;
    case Json::stringValue: {
      const char* b = nullptr;
      const char* e = nullptr;
      v.getString(&b, &e);
      return b != e;
    }
    case Json::arrayValue:
    case Json::objectValue: return !v.empty();
  }
  return false;
}

int32_t ReadIntegerParam(const Json::Value& v) {
  switch (v.type()) {
    case Json::nullValue: return 0;
    case Json::booleanValue: return v.asBool() ? 1 : 0;
    case Json::intValue: {
      int64_t i = v.asInt64();
      if (i < INT32_MIN || i > INT32_MAX) throw Json::LogicError(kIntegerOutOfRange);
      return static_cast<int32_t>(i);
    }
    case Json::uintValue: {
      uint64_t u = v.asUInt64();
      if (u > static_cast<uint64_t>(INT32_MAX)) throw Json::LogicError(kIntegerOutOfRange);
      return static_cast<int32_t>(u);
    }
    case Json::realValue: {
      double d = v.asDouble();
      if (!(d >= -2147483648.0 && d <= 2147483647.0)) throw Json::LogicError(kRealOutOfRange);
      return static_cast<int32_t>(std::trunc(d));
    }
    default: throw Json::LogicError(kNotConvertibleToInt);
  }
}

const Json::Value& ParamAt(const Json::Value& request, unsigned i) {
  static const Json::Value* const null = new Json::Value();
  if (!request.isObject()) return *null;
  const Json::Value* params = request.find("params", "params" + 6);
  if (!params || !params->isArray() || i >= params->size()) return *null;
  return (*params)[i];
}
