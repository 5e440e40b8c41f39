#include "Browsers.h"

namespace installer {

const char* BrowserName(Browser browser) {
  switch (browser) {
    case Browser::Chromium: return "chromium";
    case Browser::Chrome: return "chrome";
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

const std::vector<Browser>& AllBrowsers() {
  static const std::vector<Browser> all{Browser::Chromium, Browser::Chrome, Browser::Firefox};
  return all;
}

bool UsesOrigins(Browser browser) { return browser != Browser::Firefox; }

std::filesystem::path ManifestFolder(Browser browser, Scope scope, const Environment& env) {
  namespace fs = std::filesystem;
  if (scope == Scope::System) {
    // The system folders are absolute; the root prefix lets packaging and tests
    // write them below another folder.
    fs::path root = env.root.empty() ? fs::path("/") : fs::path(env.root);
    switch (browser) {
      case Browser::Chromium: return root / "etc/chromium/native-messaging-hosts";
      case Browser::Chrome: return root / "etc/opt/chrome/native-messaging-hosts";
      case Browser::Firefox: return root / "usr/lib/mozilla/native-messaging-hosts";
    }
  }
  if (env.home.empty()) return {};
  fs::path home(env.home);
  // Chromium-family browsers keep their profile under $XDG_CONFIG_HOME when it is an
  // absolute path; Firefox always uses ~/.mozilla.
  fs::path config = fs::path(env.xdgConfigHome).is_absolute() ? fs::path(env.xdgConfigHome) : home / ".config";
  switch (browser) {
    case Browser::Chromium: return config / "chromium/NativeMessagingHosts";
    case Browser::Chrome: return config / "google-chrome/NativeMessagingHosts";
    case Browser::Firefox: return home / ".mozilla/native-messaging-hosts";
  }
  return {};
}

}  // namespace installer
