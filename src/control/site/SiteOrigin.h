// A site's own folder, named for its origin. The origin itself is a
// WebOrigin (platform/WebOrigin.h), parsed once from the address "new" gave.
#pragma once

#include <string>

// The name of a site's own folder for an origin key (WebOrigin::Key):
// "https_shop.example", "http_127.0.0.1_8080". Two origins never share a
// name: the scheme, the host with every byte but [a-z0-9.-] written as %XX,
// and the port are joined by "_", which only the joins use. Never empty,
// never "." or "..", never holding "/"; names longer than 200 bytes keep 150
// and a hash of the origin. "" gives "_none".
std::string SiteFolderName(const std::string& origin);
