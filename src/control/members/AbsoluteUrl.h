// getAbsoluteURL for both controls: url resolved against base, or against
// the page's address when base is not a non-empty text, as a browser would.
// AbsoluteUrl-posix.cpp resolves with libcurl's URL parser (ResolveUrl,
// control/site/Downloader.h), AbsoluteUrl-win32.cpp with the shell's
// (UrlCombineW, as Internet Explorer combines addresses).
#pragma once

#include <json/json.h>

#include <string>

// False, *absolute untouched, when either address cannot be parsed or the
// result has no scheme (a relative address with no base).
bool AbsoluteUrl(const std::string& url, const Json::Value& base, const std::string& pageUrl, std::string* absolute);

// The platform's half: url against base ("" for none); false when either
// cannot be parsed.
bool CombineUrl(const std::string& url, const std::string& base, std::string* absolute);
