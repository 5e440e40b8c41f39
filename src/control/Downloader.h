// "download": fetches an http, https or file address into a file with
// libcurl, on a thread of its own so the member returns at once. The file
// appears complete (written beside the target, then renamed); the outcome
// arrives as a "done" event line {"type": "download", "id", "url", "file",
// "bytes", "message"}.
#pragma once

#include <memory>
#include <string>

#include "control/JobLauncher.h"

// Call once on the main thread before any download (curl_global_init).
void InitDownloads();

// target is a resolved path inside the allowed folders. For file: addresses
// the caller has already checked the source the same way.
bool StartDownload(const std::string& url, const std::string& target, const std::string& id,
                   std::shared_ptr<JobEventQueue> queue, std::string* error);

// Resolves url against base (RFC 3986, through libcurl's URL parser). base may
// be empty when url is absolute. False when either cannot be parsed.
bool ResolveUrl(const std::string& url, const std::string& base, std::string* absolute);
