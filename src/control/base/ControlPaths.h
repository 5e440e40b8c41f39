// Where the control keeps its files: on POSIX after the XDG base directory
// rules (ControlPaths-posix.cpp), on Windows in the user's application data
// folders (ControlPaths-win32.cpp; %APPDATA% and %LOCALAPPDATA% when set).
#pragma once

#include <string>

#include "platform/Files.h"  // WriteFileAtomically: files are written whole

// The control's kept data: $XDG_DATA_HOME/kestrix (else
// $HOME/.local/share/kestrix); %APPDATA%/Kestrix.
std::string ControlDataFolder();
// The user's settings for the control: $XDG_CONFIG_HOME/kestrix (else
// $HOME/.config/kestrix); %APPDATA%/Kestrix.
std::string ControlConfigFolder();
// The folder of the sites' files, each site's folder in it:
// ControlDataFolder()/files; %LOCALAPPDATA%/Kestrix/files (not roaming).
std::string DefaultFilesFolder();
// ControlDataFolder()/settings.json
std::string SettingsFilePath();
// ControlDataFolder()/settings/<hash of origin>.json: one site's own
// settings, which no other site can name.
std::string SiteSettingsFilePath(const std::string& origin);
// ControlConfigFolder()/control.json: the user's own settings for the control.
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
