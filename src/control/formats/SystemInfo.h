// Facts about this machine and this control for the system members. What the
// system tells (fonts, network cards, the machine's id) is asked in
// SystemInfo-posix.cpp and SystemInfo-win32.cpp.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

// The project version ("0.1.0").
std::string ControlVersion();
// Font family names the system knows (fontconfig; GDI's font families),
// sorted (byte order) and unique.
std::vector<std::string> FontFamilies();
// The hardware address of the first non-loopback interface (lowest interface
// index with a non-zero address) as "AA-BB-CC-DD-EE-FF"; "" when none.
std::string LocalMacAddress();
// The machine id of systemd (/etc/machine-id, else /var/lib/dbus/machine-id)
// or Windows' MachineGuid (its hex digits): 32 lower-case hex digits, stable
// across boots; "" when none is readable.
std::string MachineId();

// The MIME type the control gives a file name or type text: "pdf", ".pdf",
// "x.pdf" and "application/pdf" all give "application/pdf"; "" when unknown.
std::string MimeTypeFor(const std::string& nameOrType);
// True for what a print job can carry: what CUPS's standard filters take
// (PDF, PostScript, plain text, PNG, JPEG, GIF, TIFF, PWG/Apple raster) and
// HTML, which the control renders first.
bool IsPrintableType(const std::string& nameOrType);

// Compares dotted version texts ("1.10.2" > "1.9"); missing parts count as 0.
// False when either is not digits and dots.
bool CompareVersions(const std::string& a, const std::string& b, int* order);
