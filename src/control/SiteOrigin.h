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

// The name of a site's own folder for an origin (as SiteOrigin gives it):
// "https_shop.example", "http_127.0.0.1_8080". Two origins never share a
// name: the scheme, the host with every byte but [a-z0-9.-] written as %XX,
// and the port are joined by "_", which only the joins use. Never empty,
// never "." or "..", never holding "/"; names longer than 200 bytes keep 150
// and a hash of the origin. "" gives "_none".
std::string SiteFolderName(const std::string& origin);
