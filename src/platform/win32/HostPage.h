// The host's own bootstrap page, as both the host's browser site and the
// printing control recognise it: a page of our host process (its program
// file is named kestrix-host*.exe) that the host wrote into the user's
// temporary folder as "<creation time of the program><counter>.htm" (or
// ".<that name>.<suffix>.tmp" it has when it could not be moved into
// place). Anything else (a job's HTML, another file, any web page) is not it.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The program rule: the file name of programPath, ignoring case, is kestrix-host*.exe.
bool IsHostProgramPath(std::wstring_view programPath);

// The page rule on an address: a file: address (file:///C:/..., file://C:\...,
// %XX escapes allowed, read as UTF-8) of a file directly in tempDir (compared
// ignoring case, with or without a trailing separator) named creationLow,
// then one or more digits, then ".htm"; or, as the host leaves the page
// when it cannot move it into place, "." + that name + ".<letters and
// digits>.tmp". "..", escaped separators, control characters (a NUL
// included), paths relative to a drive, queries and fragments do not pass.
bool IsBootstrapPageAddress(std::wstring_view address, std::wstring_view tempDir, DWORD creationLow);

// The facts of this process: the program rule for the running program, and
// the page rule with its temporary folder and the creation time of its
// program file (false in any other program).
bool RunsInHostProcess();
bool IsThisHostsBootstrapPage(const std::wstring& address);
