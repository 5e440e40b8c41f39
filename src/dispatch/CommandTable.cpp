#include "dispatch/CommandTable.h"

namespace {

const Json::Value& Null() {
  static const Json::Value* const null = new Json::Value();
  return *null;
}

}  // namespace

const CommandRow* FindCommand(std::string_view method) {
  // A length differs before any byte is looked at.
  for (const CommandRow& c : kCommands)
    if (c.name == method) return &c;
  return nullptr;
}

const Json::Value* RequestMember(const Json::Value& request, std::string_view name) {
  return request.isObject() ? request.find(name.data(), name.data() + name.size()) : nullptr;
}

std::string ReadMethod(const Json::Value* method) { return ReadTextParam(method ? *method : Null()); }

std::string ReadEvent(const Json::Value& request) {
  const Json::Value* event = RequestMember(request, "event");
  return ReadTextParam(event ? *event : Null());
}

ParsedCommand ReadCommand(const CommandRow& row, const Json::Value& request, const Json::Value* event) {
  ParsedCommand c;
  c.row = &row;
  if (row.Replies()) c.event = ReadTextParam(event ? *event : Null());
  for (unsigned i = 0; i < row.params.size(); ++i) {
    const Json::Value& v = ParamAt(request, i);
    ParamValue& p = c.params[i];
    switch (row.params[i]) {
      case 't': p.text = ReadTextParam(v); break;
      case 'f': p.flag = ReadFlagParam(v); break;
      case 'i': p.integer = ReadIntegerParam(v); break;
      default: p.value = &v; break;  // v, j: handed on as they are
    }
  }
  return c;
}

Capabilities NeededBy(const ParsedCommand& command) {
  const CommandRow& row = *command.row;
  Capabilities needs = row.needs;
  if (row.more.index >= 0 && command.params[row.more.index].flag) needs |= row.more.needs;
  return needs;
}
