// Where the control keeps its files, after the XDG base directory rules.
#pragma once

#include <string>

#include "platform/Files.h"  // WriteFileAtomically: files are written whole

// $XDG_DATA_HOME (absolute) or $HOME/.local/share.
std::string DataHome();
// $XDG_CONFIG_HOME (absolute) or $HOME/.config.
std::string ConfigHome();
// DataHome()/kestrix/files: the folder the page may always use.
std::string DefaultFilesFolder();
// DataHome()/kestrix/settings.json
std::string SettingsFilePath();
// DataHome()/kestrix/settings/<hash of origin>.json: one site's own settings,
// which no other site can name.
std::string SiteSettingsFilePath(const std::string& origin);
// ConfigHome()/kestrix/control.json: the user's own settings for the control.
std::string ControlConfigPath();

// mkdir -p with the given mode for the folders it creates. False when a part
// cannot be created or exists and is not a folder.
bool MakeFolders(const std::string& path, unsigned mode = 0700);
// Reads a whole regular file (at most maxBytes) without ever waiting to open
// it. False when it cannot be read, is larger, or is no regular file.
bool ReadWholeFile(const std::string& path, std::string* out, size_t maxBytes = size_t(256) << 20);

// The job executable: $KESTRIX_JOB, else kestrix-job next to the running
// program, else the one in the build folder; "" when none is there.
std::string FindJobExecutable();
