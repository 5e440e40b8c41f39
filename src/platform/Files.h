// Files written whole: the one way the host and the control replace a file.
#pragma once

#include <functional>
#include <string>

// How WriteFileReplacing leaves the file.
struct ReplaceOptions {
  unsigned mode = 0600;  // permissions of the new file (POSIX; the umask applies)
  bool sync = false;     // on disk before the move: for what must survive a crash
  // When the move is refused: true keeps the new file and returns its path
  // (the bootstrap page is used from there), false removes it.
  bool keepUnmoved = false;
};

// Writes bytes into a new hidden file beside finalPath (".<name>.<suffix>.tmp")
// that did not exist before (an existing name, a planted link included, is
// never opened), then moves it over finalPath in one step, so a reader never
// sees half a file and a link at either name is never followed. Returns the
// path that holds the bytes: finalPath; the new file itself when the move is
// refused (another user's file in a shared folder, a folder at that name) and
// options.keepUnmoved; "" when the bytes are not at finalPath or kept.
std::string WriteFileReplacing(const std::string& finalPath, const std::string& bytes,
                               const ReplaceOptions& options = {});

// The same as a yes or no: the bytes are at finalPath.
inline bool WriteFileAtomically(const std::string& finalPath, const std::string& bytes, unsigned mode = 0600,
                                bool sync = true) {
  return WriteFileReplacing(finalPath, bytes, ReplaceOptions{mode, sync, false}) == finalPath;
}

// Tests: where the unique names' suffixes come from (random otherwise). Each
// call gives the next candidate; null restores the default.
void SetUniqueSuffixSourceForTesting(std::function<std::string()> source);
