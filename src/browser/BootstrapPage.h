// The bootstrap page: the module resource that holds it, the name of the
// page file in the temporary directory, and writing that file.
//
// The name is "%s%lu%d.htm": the temporary directory (with its trailing
// separator), the low 32 bits of the executable's creation FILETIME (0 when
// it cannot be read) and the page counter (1 for the first page of a run).
// The file is written as a new unique file in the same directory and then
// renamed into place, so a reader never sees half a page and a link planted
// at either name is never followed.
#pragma once

#include <string>

#include "platform/Files.h"  // SetUniqueSuffixSourceForTesting
#include "platform/OleText.h"

// The text of a resource of the program's own module ("JS", "#102" is the
// page), up to its first NUL, from the thread's ANSI code page to UTF-16;
// empty when there is no such resource.
OleString ReadPageResource(const std::string& type, const std::string& name);

// Whether the file could be read, and its creation time.
bool GetFileCreationTime(const std::string& path, FILETIME* creationTime);

// "%s%lu%d.htm" of the three fields.
std::string BootstrapPageName(const std::string& tempDir, DWORD creationTimeLow, int counter);

// Writes the page for the running executable into the temporary directory
// and returns the narrow path to navigate to: the page file, or the unique
// file itself when the rename into place is refused, or "" when nothing
// could be written (the page then never loads).
std::string WriteBootstrapPage();
// The same for a given executable path and temporary directory (with its
// trailing '/'); WriteBootstrapPage uses the real ones.
std::string WriteBootstrapPageIn(const std::string& executablePath, const std::string& tempDir);

// Removes the page files that were left under their unique name because the
// rename into place was refused; process entry calls it when the host ends.
void RemoveUniquePageFiles();

// The process-wide page counter: how many pages were written so far.
int BootstrapPageCounter();
