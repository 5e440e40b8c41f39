#include "Browsers.h"

#include "Platform.h"

namespace installer {

const char* BrowserName(Browser browser) {
  switch (browser) {
    case Browser::Chromium: return "chromium";
    case Browser::Chrome: return "chrome";
    case Browser::Edge: return "edge";
    case Browser::Firefox: return "firefox";
  }
  return "?";
}

const char* ScopeName(Scope scope) { return scope == Scope::User ? "user" : "system"; }

std::optional<Browser> ParseBrowser(const std::string& name) {
  for (Browser b : AllBrowsers())
    if (name == BrowserName(b)) return b;
  return std::nullopt;
}

std::string BrowserChoices(const char* lastJoin) {
  const std::vector<Browser>& all = AllBrowsers();
  std::string text;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i > 0) text += i + 1 == all.size() ? lastJoin : ", ";
    text += BrowserName(all[i]);
  }
  return text;
}

bool UsesOrigins(Browser browser) { return browser != Browser::Firefox; }

}  // namespace installer
