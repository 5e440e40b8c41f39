// What the file members and kept settings do for a site, apart from the COM
// object that carries them, so that the Linux and the Windows control give
// the same results and the same errors. Each action answers its result, or
// false with the failure the page is told as OnMessage {"type": "error",
// "code", "message"}; the caller reports it and gives the member's empty
// result. Every path goes through the site's FileStore (FileStore.h).
#pragma once

#include <json/json.h>

#include <string>

#include "control/site/FileStore.h"
#include "platform/WebOrigin.h"

struct MemberFailure {
  std::string code;  // "pathRefused", "noRoom", "fileError", "badData", "badKey", ...
  std::string message;
};

// The code for a FileStore error: "pathRefused" for a path outside the
// allowed folders, "noRoom" for a write beyond the site's room, else "fileError".
std::string FileErrorCode(const std::string& error);

// readString: the file's text decoded from encoding ("" is UTF-8).
bool ReadFileText(const FileStore& files, const std::string& path, const std::string& encoding, std::string* text,
                  MemberFailure* failure);
// readHTML: as ReadFileText; without an encoding, the one the document declares.
bool ReadFileHtml(const FileStore& files, const std::string& path, const std::string& encoding, std::string* text,
                  MemberFailure* failure);
// readBase64: the file's bytes in base64.
bool ReadFileBase64(const FileStore& files, const std::string& path, std::string* base64, MemberFailure* failure);
// writeString: text encoded into encoding, written whole.
bool WriteFileText(const FileStore& files, const std::string& path, const std::string& text,
                   const std::string& encoding, MemberFailure* failure);
// writeBase64: base64 text or a base64 data: address, written as bytes
// ("badData" for anything else).
bool WriteFileBase64(const FileStore& files, const std::string& path, const std::string& data,
                     MemberFailure* failure);
// copy: source to target, both inside the allowed folders.
bool CopySiteFile(const FileStore& files, const std::string& source, const std::string& target,
                  MemberFailure* failure);
// A print job's "file": the bytes of a regular file inside the allowed
// folders, at most FileStore::kMaxReadBytes, opened at the path resolved with
// no link followed at its last part (the path checked is the path opened);
// *real is that path. "pathRefused" outside the folders, else "fileUnreadable".
bool ReadJobFile(const FileStore& files, const std::string& path, std::string* bytes, std::string* real,
                 MemberFailure* failure);
// openFile: the file, when it is a document (DesktopOpen.h), handed to the
// desktop's program for its type ("fileTypeRefused", "noDesktop", ...).
bool OpenSiteFile(const FileStore& files, const std::string& path, MemberFailure* failure);

// The settings file of a site: each web site its own, which no other site
// can name; pages on this machine and pages without a web origin the one
// file every page used before sites were told apart.
std::string SettingsFileFor(const WebOrigin& origin);
// setLastSettings: "badKey" for an empty key, "settingsTooLarge" when the
// file would grow past what is read back, "settingsError" otherwise.
bool KeepSetting(const WebOrigin& origin, const std::string& key, const Json::Value& value, MemberFailure* failure);
// clearLastSettings ("" clears all of the site's).
bool ClearSetting(const WebOrigin& origin, const std::string& key, MemberFailure* failure);
// getLastSettings: null when none is kept.
Json::Value KeptSetting(const WebOrigin& origin, const std::string& key);

// getLocalMacAddress / getCPUSerialNo: the site's own stand-ins (DeviceIds.h),
// or the raw values when control.json allows them.
std::string MacAddressForSite(const WebOrigin& origin);
std::string CpuSerialForSite(const WebOrigin& origin);
