// What the members about this machine and this control answer, apart from
// the COM object, so that the Linux and the Windows control give the same
// shapes. What each platform knows comes from control/formats/SystemInfo.h
// (fontconfig on Linux, GDI on Windows).
#pragma once

#include <json/json.h>

#include <string>

// getFonts: the font family names the system knows, sorted by bytes, each once.
Json::Value FontFamilyList();

// getPrinterStatus when the printing system cannot say: the printer's name,
// state "unknown", no reasons, not accepting, and why as its message.
Json::Value UnknownPrinterStatus(const std::string& printer, const std::string& why);

// about: the event line of its OnMessage, {"type": "about", "name",
// "version", "hostCode", "message"} plus what the platform adds (details,
// an object: where the renderer, the scheduler or the job process are).
// summary follows the version in "message": "Kestrix printing control
// <version> (<summary>)".
Json::Value AboutLine(const std::string& name, long hostCode, const Json::Value& details, const std::string& summary);
