// The native messaging host manifest: building it for a browser and checking an
// installed one.
#pragma once

#include <json/json.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Browsers.h"

namespace installer {

inline constexpr char kHostName[] = "com.kestrix.host";
inline constexpr char kManifestFileName[] = "com.kestrix.host.json";
// The id of extension/ in this tree, fixed by the "key" of its manifest.json.
inline constexpr char kDefaultExtensionId[] = "obkkhjkmknnbggeelnmbimmleflkgjoj";
// The add-on id a Firefox build of the extension declares.
inline constexpr char kDefaultFirefoxId[] = "kestrix@kestrix-host";

// 32 letters a-p: what Chromium derives from an extension's key.
bool IsChromiumExtensionId(const std::string& id);
// "name@domain" or "{guid}", the two forms Firefox accepts.
bool IsFirefoxExtensionId(const std::string& id);

// allowed: the extension ids (Chromium: turned into chrome-extension:// origins).
Json::Value BuildManifest(Browser browser, const std::string& hostPath, const std::vector<std::string>& allowed);
std::string ManifestText(const Json::Value& manifest);

// Why a host binary cannot be started by a browser; empty when it can.
std::string HostBinaryProblem(const std::filesystem::path& path);

// What "status" reports about one installed manifest file.
struct ManifestCheck {
  std::string hostPath;              // the manifest's "path"
  std::vector<std::string> allowed;  // its allowed origins or extensions
  std::string problem;               // empty when a browser could start the host
};
ManifestCheck CheckManifest(const std::filesystem::path& file, Browser browser);

}  // namespace installer
