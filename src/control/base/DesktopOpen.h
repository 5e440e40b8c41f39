// What openFile (and an export asked to open its file) may hand to the
// desktop. The page can write files into the allowed folders, so a file it
// asks to open may be anything it wrote: a launcher (.desktop), a script, a
// program. Only documents are opened, and only when their first bytes agree
// with their name, since the desktop picks the program by the name.
#pragma once

#include <string>
#include <string_view>

// How many leading bytes DecideDesktopOpen looks at.
inline constexpr size_t kDesktopOpenHeadBytes = 4096;

// True when the file named name (its last path part decides), whose first
// bytes are head and whose POSIX permission bits are mode (0 on Windows,
// where the name alone marks a program), is a document the desktop may open:
// PDF; PNG, JPEG, GIF, BMP, WebP or TIFF images; .xlsx, .ods, .xls or .csv
// spreadsheets; .txt or .log text; .htm or .html pages. Otherwise false with
// the reason (an executable file, a name of another kind, or bytes that are
// not what the name says).
bool DecideDesktopOpen(std::string_view name, std::string_view head, unsigned mode, std::string* reason);

// Opens path (a resolved path inside the allowed folders) with the desktop's
// program when DecideDesktopOpen lets it (LaunchOpener). Otherwise false with the code
// ("fileTypeRefused", "noDesktop", "fileError") and message to report. Any
// thread.
bool OpenDocument(const std::string& path, std::string* code, std::string* message);

// Hands path to the desktop's program for its type, detached: xdg-open
// without the host's standard input and output (DesktopOpen-posix.cpp); the
// shell's "open" (DesktopOpen-win32.cpp). False when there is no desktop.
// Decides nothing: OpenDocument asks DecideDesktopOpen first.
bool LaunchOpener(const std::string& path);
