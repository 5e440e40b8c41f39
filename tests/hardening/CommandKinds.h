// The host's request vocabulary as the tests use it from outside: every
// command of the host's own table (dispatch/Commands.def), whether it replies
// under its event name, how, and the kind in which it reads each parameter.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "dispatch/CommandTable.h"

namespace hardening {

// t: text, f: flag, i: 32-bit integer, v: any value (handed on unconverted),
// j: a print job (a value, handed on the same way).
struct Command {
  std::string method;
  bool replies;        // reads "event" and answers under it
  ReplyKind reply;
  std::string kinds;   // one letter per parameter, in index order
};

inline const std::vector<Command>& Commands() {
  static const std::vector<Command> table = [] {
    std::vector<Command> out;
    for (const CommandRow& c : kCommands)
      out.push_back({std::string(c.name), c.Replies(), c.reply, std::string(c.params)});
    return out;
  }();
  return table;
}

// A value of every JSON kind, with the edges of the integer reading.
inline std::vector<Json::Value> ValuesOfEveryKind() {
  Json::Value array(Json::arrayValue);
  array.append(1);
  Json::Value object(Json::objectValue);
  object["a"] = 1;
  return {Json::Value(),
          Json::Value("s"),
          Json::Value(""),
          Json::Value(true),
          Json::Value(false),
          Json::Value(0),
          Json::Value(-7),
          Json::Value(2147483647),
          Json::Value(static_cast<Json::UInt>(3000000000u)),
          Json::Value(3.7),
          Json::Value(-2147483648.5),
          Json::Value(1e10),
          Json::Value(Json::arrayValue),
          array,
          Json::Value(Json::objectValue),
          object};
}

// Whether a parameter read in `kind` accepts `value` (the reading rules of
// the host: text takes null, strings and booleans; an integer takes null,
// booleans, integers in range and reals that lie within the range).
inline bool Accepts(char kind, const Json::Value& value) {
  switch (kind) {
    case 't': return value.isNull() || value.isString() || value.isBool();
    case 'f': return true;
    case 'v': return true;
    case 'j': return true;
    case 'i':
      if (value.isNull() || value.isBool()) return true;
      if (value.type() == Json::intValue) return value.isInt();
      if (value.type() == Json::uintValue) return value.asUInt64() <= 2147483647u;
      if (value.type() == Json::realValue) return value.asDouble() >= -2147483648.0 && value.asDouble() <= 2147483647.0;
      return false;
  }
  return false;
}

// A value each kind accepts.
inline Json::Value Plain(char kind) {
  switch (kind) {
    case 't': return "x";
    case 'f': return true;
    case 'i': return 1;
    default: {
      Json::Value v(Json::objectValue);
      v["done"] = "job-done";
      return v;
    }
  }
}

}  // namespace hardening
