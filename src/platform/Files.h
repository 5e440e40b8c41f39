// Files the host writes for itself.
#pragma once

#include <functional>
#include <string>

// Writes bytes into a new file beside finalPath that did not exist before (an
// existing name, a planted link included, is never opened), then moves it
// over finalPath in one step, so a reader never sees half a file and a link
// at either name is never followed. Returns the path that holds the bytes:
// finalPath; the unique file itself when the move is refused (another user's
// file in a shared folder, a folder at that name); "" when nothing could be
// written.
std::string WriteFileReplacing(const std::string& finalPath, const std::string& bytes);

// Tests: where the unique names' suffixes come from (random otherwise). Each
// call gives the next candidate; null restores the default.
void SetUniqueSuffixSourceForTesting(std::function<std::string()> source);
