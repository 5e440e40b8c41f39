// The command table (Commands.def) as the host uses it: look a method up,
// read a request once into its command's typed parameters, then call the
// proxy operation of that name with them.
//
// Written as templates over the proxy so that the table can be driven
// against a recorder in tests; CommandDispatcher instantiates them for
// ControlProxy, whose operations therefore take the parameters in the kinds
// the row lists (text: const std::string&, flag: bool, integer: int32_t,
// value and job: const Json::Value&), followed by the event name unless the
// command never replies.
//
// Methods are compared by exact, case-sensitive equality of the whole
// string. Reading takes the event name first (commands that reply), then the
// parameters in index order; a read that fails raises Json::LogicError before
// anything is called.
#pragma once

#include <json/json.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "dispatch/ParamKinds.h"
#include "dispatch/SitePermissions.h"

// How a command answers (see Commands.def).
enum class ReplyKind : uint8_t { Never, NoData, Bool, Long, Text, Value };

// Capabilities needed as well when a flag parameter is true.
struct FlagCapabilities {
  int index = -1;  // -1: none
  Capabilities needs = 0;
};
constexpr FlagCapabilities IfFlag(int index, Capabilities needs) { return {index, needs}; }

// One row of the table.
struct CommandRow {
  std::string_view name;
  std::string_view params;  // one kind letter per parameter: t f i v j
  ReplyKind reply;
  Capabilities needs;
  FlagCapabilities more{};

  bool Replies() const { return reply != ReplyKind::Never; }
};

inline constexpr CommandRow kCommands[] = {
#define KX_COMMAND(name, params, reply, needs, ...) {#name, params, ReplyKind::reply, needs, __VA_ARGS__},
#include "dispatch/Commands.def"
#undef KX_COMMAND
};

// The commands by position in the table.
enum class CommandId : uint8_t {
#define KX_COMMAND(name, ...) name,
#include "dispatch/Commands.def"
#undef KX_COMMAND
};

inline constexpr size_t kMaxParams = [] {
  size_t most = 0;
  for (const CommandRow& c : kCommands) most = c.params.size() > most ? c.params.size() : most;
  return most;
}();

// The row of a method; null when it is not a command.
const CommandRow* FindCommand(std::string_view method);

// One parameter as its kind reads it (only the member of its kind is set).
struct ParamValue {
  std::string text;
  const Json::Value* value = nullptr;  // into the request, which outlives the command
  int32_t integer = 0;
  bool flag = false;
};

// A request read by its row: everything the operation will be given.
struct ParsedCommand {
  const CommandRow* row = nullptr;
  std::string event;
  std::array<ParamValue, kMaxParams> params;

  CommandId Id() const { return static_cast<CommandId>(row - kCommands); }
};

// Reads the request's event name (event: its member "event", null when it
// has none) and parameters as the row says. Raises Json::LogicError for a
// value that its kind cannot read. "params" present but not an array counts
// as no parameters; a missing index reads as null.
ParsedCommand ReadCommand(const CommandRow& row, const Json::Value& request, const Json::Value* event);

// What the command needs, its flag read as it was for the call.
Capabilities NeededBy(const ParsedCommand& command);

// The request's method as the table reads it: null (or no object) -> "",
// booleans -> "true"/"false", a string itself; anything else raises
// Json::LogicError like a text parameter.
std::string ReadMethod(const Json::Value* method);
// Its event name the same way.
std::string ReadEvent(const Json::Value& request);
// The member of that name of an object request; null when there is none.
const Json::Value* RequestMember(const Json::Value& request, std::string_view name);

namespace command_table {

template <char Kind>
decltype(auto) Arg(const ParamValue& p) {
  if constexpr (Kind == 't') return static_cast<const std::string&>(p.text);
  else if constexpr (Kind == 'f') return p.flag;
  else if constexpr (Kind == 'i') return p.integer;
  else {
    static_assert(Kind == 'v' || Kind == 'j', "a parameter kind the table does not know");
    return static_cast<const Json::Value&>(*p.value);
  }
}

template <CommandId Id, class Operation, size_t... I>
void Call(const ParsedCommand& c, Operation&& op, std::index_sequence<I...>) {
  constexpr const CommandRow& row = kCommands[static_cast<size_t>(Id)];
  if constexpr (row.reply == ReplyKind::Never)
    op(Arg<row.params[I]>(c.params[I])...);
  else
    op(Arg<row.params[I]>(c.params[I])..., static_cast<const std::string&>(c.event));
}

template <CommandId Id, class Operation>
void Call(const ParsedCommand& c, Operation&& op) {
  constexpr size_t n = kCommands[static_cast<size_t>(Id)].params.size();
  Call<Id>(c, std::forward<Operation>(op), std::make_index_sequence<n>());
}

}  // namespace command_table

// Calls the proxy operation of a command read by ReadCommand.
template <class Proxy>
void CallCommand(Proxy& p, const ParsedCommand& c) {
  switch (c.Id()) {
#define KX_COMMAND(name, ...)                                                               \
  case CommandId::name:                                                                     \
    return command_table::Call<CommandId::name>(c, [&p](const auto&... a) { p.name(a...); });
#include "dispatch/Commands.def"
#undef KX_COMMAND
  }
}

// The whole road of one request with its "method" and "event" members found
// (each null when the request has none): "ping" calls nothing (it counts as
// traffic, which the host window has recorded), "new" hands the whole
// request to OnNew, a command is read and, when allowed(parsed command)
// says so, called. A method outside the table does nothing.
template <class Proxy, class Allowed>
void DispatchRequest(Proxy& p, const Json::Value& request, const Json::Value* method, const Json::Value* event,
                     Allowed&& allowed) {
  const std::string m = ReadMethod(method);
  if (m == "ping") return;
  if (m == "new") return p.OnNew(request);
  const CommandRow* row = FindCommand(m);
  if (!row) return;
  const ParsedCommand command = ReadCommand(*row, request, event);
  if (allowed(command)) CallCommand(p, command);
}

// The same without asking anyone (tests and tools).
template <class Proxy>
void DispatchCommand(Proxy& p, const Json::Value& request) {
  DispatchRequest(p, request, RequestMember(request, "method"), RequestMember(request, "event"),
                  [](const ParsedCommand&) { return true; });
}
