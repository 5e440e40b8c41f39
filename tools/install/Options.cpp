#include "Options.h"

#include <algorithm>

#include "Manifest.h"
#include "Platform.h"

namespace installer {

namespace {

std::optional<Command> ParseCommand(const std::string& word) {
  if (word == "install") return Command::Install;
  if (word == "uninstall") return Command::Uninstall;
  if (word == "status") return Command::Status;
  if (word == "help" || word == "--help" || word == "-h") return Command::Help;
  return std::nullopt;
}

ParsedOptions Fail(std::string why) { return {std::nullopt, std::move(why)}; }

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("no command given");
  std::optional<Command> command = ParseCommand(args[0]);
  if (!command) return Fail("unknown command '" + args[0] + "'");
  Options o;
  o.command = *command;
  bool browserGiven = false;

  for (size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      // "--host --browser x" is a forgotten value, not a host named "--browser".
      if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) return args[++i];
      return std::nullopt;
    };
    if (name == "--user" || name == "--system") {
      Scope s = name == "--user" ? Scope::User : Scope::System;
      if (std::find(o.scopes.begin(), o.scopes.end(), s) == o.scopes.end()) o.scopes.push_back(s);
      continue;
    }
    if (name == "--help" || name == "-h") {
      o.command = Command::Help;
      continue;
    }
    std::string* target = nullptr;  // stays null for --browser, which is parsed below
    std::vector<std::string>* list = nullptr;  // options that may be repeated
    if (name == "--extension-id") list = &o.extensionIds;
    else if (name == "--firefox-id") list = &o.firefoxIds;
    else if (name == "--host") target = &o.hostPath;
    else if (name == "--root") target = &o.root;
    else if (name == "--dir") target = &o.dir;
    else if (name != "--browser") return Fail("unknown option '" + args[i] + "'");
    std::optional<std::string> v = value();
    if (!v || v->empty()) return Fail(name + " needs a value");
    if (target) {
      *target = *v;
      continue;
    }
    if (list) {
      if (std::find(list->begin(), list->end(), *v) == list->end()) list->push_back(*v);
      continue;
    }
    browserGiven = true;
    if (*v == "all") {
      o.browsers = AllBrowsers();
    } else if (std::optional<Browser> b = ParseBrowser(*v)) {
      if (std::find(o.browsers.begin(), o.browsers.end(), *b) == o.browsers.end()) o.browsers.push_back(*b);
    } else {
      return Fail("unknown browser '" + *v + "'; use " + BrowserChoices(", ") + " or all");
    }
  }
  if (o.command == Command::Help) return {o, {}};

  if (!browserGiven) o.browsers = AllBrowsers();
  if (!o.dir.empty() && o.browsers.size() != 1)
    return Fail("--dir needs exactly one browser: --browser " + BrowserChoices(" or "));
  if (o.scopes.empty()) {
    if (o.command == Command::Status) o.scopes = {Scope::User, Scope::System};
    else o.scopes = {Scope::User};
  }

  // With Firefox alone, --extension-id names the Firefox add-on.
  bool firefoxOnly = o.browsers.size() == 1 && o.browsers[0] == Browser::Firefox;
  if (firefoxOnly && o.firefoxIds.empty()) std::swap(o.firefoxIds, o.extensionIds);
  if (o.extensionIds.empty()) o.extensionIds = {kDefaultExtensionId};
  if (o.firefoxIds.empty()) o.firefoxIds = {kDefaultFirefoxId};
  for (const std::string& id : o.extensionIds)
    if (!IsChromiumExtensionId(id)) return Fail("'" + id + "' is not a Chromium extension id (32 letters a to p)");
  for (const std::string& id : o.firefoxIds)
    if (!IsFirefoxExtensionId(id)) return Fail("'" + id + "' is not a Firefox add-on id (name@domain or {guid})");
  return {o, {}};
}

}  // namespace installer
