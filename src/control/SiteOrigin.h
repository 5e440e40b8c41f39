// The site a page belongs to, told from the address the host hands the
// control (setPageURL, from the browser's report of the sender).
#pragma once

#include <string>

// "scheme://host" or "scheme://host:port": scheme and host in lower case,
// user name and password, path, query and fragment left out, the scheme's
// default port left out (http 80, https 443, ws 80, wss 443), IPv6 hosts
// kept in brackets. An address without a host (file:, data:, about:) gives
// "scheme:"; an empty or unreadable address gives "".
std::string SiteOrigin(const std::string& url);
