#include "control/members/SiteActions.h"

#include "control/base/ControlPaths.h"
#include "control/base/DesktopOpen.h"
#include "control/base/FileSystem.h"
#include "control/formats/Base64.h"
#include "control/formats/SystemInfo.h"
#include "control/formats/TextEncoding.h"
#include "control/site/DeviceIds.h"
#include "control/site/NetworkPolicy.h"
#include "control/site/SettingsStore.h"

namespace {
bool Fail(MemberFailure* failure, std::string code, std::string message) {
  if (failure) *failure = MemberFailure{std::move(code), std::move(message)};
  return false;
}

bool FailFile(MemberFailure* failure, const std::string& error) { return Fail(failure, FileErrorCode(error), error); }
}  // namespace

std::string FileErrorCode(const std::string& error) {
  if (error.find("outside the allowed folders") != std::string::npos) return "pathRefused";
  return error.rfind("no room", 0) == 0 ? "noRoom" : "fileError";
}

bool ReadFileText(const FileStore& files, const std::string& path, const std::string& encoding, std::string* text,
                  MemberFailure* failure) {
  std::string bytes, error;
  if (files.Read(path, &bytes, &error) && DecodeToUtf8(bytes, encoding, text, &error)) return true;
  return FailFile(failure, error);
}

bool ReadFileHtml(const FileStore& files, const std::string& path, const std::string& encoding, std::string* text,
                  MemberFailure* failure) {
  std::string bytes, error;
  if (!files.Read(path, &bytes, &error)) return FailFile(failure, error);
  const std::string charset = encoding.empty() ? SniffHtmlCharset(bytes) : encoding;
  if (!DecodeToUtf8(bytes, charset, text, &error)) return Fail(failure, "fileError", error);
  return true;
}

bool ReadFileBase64(const FileStore& files, const std::string& path, std::string* base64, MemberFailure* failure) {
  std::string bytes, error;
  if (!files.Read(path, &bytes, &error)) return FailFile(failure, error);
  *base64 = Base64Encode(bytes);
  return true;
}

bool ReadJobFile(const FileStore& files, const std::string& path, std::string* bytes, std::string* real,
                 MemberFailure* failure) {
  std::string error;
  if (!files.Resolve(path, FileStore::Access::Read, real, &error))
    return Fail(failure, FileErrorCode(error) == "pathRefused" ? "pathRefused" : "fileUnreadable", error);
  const std::string limit = std::to_string(FileStore::kMaxReadBytes >> 20) + " MiB";
  ReadableFile file;
  if (!file.Open(*real, true))
    return Fail(failure, "fileUnreadable", "cannot read '" + path + "' (not a regular file): " + LastFileError());
  if (file.Size() > FileStore::kMaxReadBytes)
    return Fail(failure, "fileUnreadable", "cannot print '" + path + "': it is larger than " + limit);
  std::string data;
  data.reserve(static_cast<size_t>(file.Size()));
  char buffer[65536];
  for (long long n; (n = file.Read(buffer, sizeof buffer)) != 0;) {
    if (n < 0) return Fail(failure, "fileUnreadable", "cannot read '" + path + "': " + LastFileError());
    data.append(buffer, static_cast<size_t>(n));
    // A file that grows while it is read is held to the same bound.
    if (data.size() > FileStore::kMaxReadBytes)
      return Fail(failure, "fileUnreadable", "cannot print '" + path + "': it is larger than " + limit);
  }
  *bytes = std::move(data);
  return true;
}

bool WriteFileText(const FileStore& files, const std::string& path, const std::string& text,
                   const std::string& encoding, MemberFailure* failure) {
  std::string bytes, error;
  if (EncodeFromUtf8(text, encoding, &bytes, &error) && files.Write(path, bytes, &error)) return true;
  return FailFile(failure, error);
}

bool WriteFileBase64(const FileStore& files, const std::string& path, const std::string& data,
                     MemberFailure* failure) {
  std::string text = data;
  // A data: address keeps its base64 text after the comma.
  if (text.rfind("data:", 0) == 0) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos || text.substr(0, comma).find(";base64") == std::string::npos)
      return Fail(failure, "badData", "writeBase64 takes base64 text or a base64 data: address");
    text.erase(0, comma + 1);
  }
  std::string bytes, error;
  if (!Base64Decode(text, &bytes)) return Fail(failure, "badData", "writeBase64: the data is not valid base64");
  if (!files.Write(path, bytes, &error)) return FailFile(failure, error);
  return true;
}

bool CopySiteFile(const FileStore& files, const std::string& source, const std::string& target,
                  MemberFailure* failure) {
  std::string error;
  return files.Copy(source, target, &error) || FailFile(failure, error);
}

bool OpenSiteFile(const FileStore& files, const std::string& path, MemberFailure* failure) {
  std::string real, error, code;
  if (!files.Resolve(path, FileStore::Access::Read, &real, &error)) return FailFile(failure, error);
  return OpenDocument(real, &code, &error) || Fail(failure, code, error);
}

std::string SettingsFileFor(const WebOrigin& origin) {
  if (!origin.IsValid() || NamesThisMachine(origin.Host())) return SettingsFilePath();
  return SiteSettingsFilePath(origin.Key());
}

bool KeepSetting(const WebOrigin& origin, const std::string& key, const Json::Value& value, MemberFailure* failure) {
  if (key.empty()) return Fail(failure, "badKey", "setLastSettings needs a key");
  SettingsStore store(SettingsFileFor(origin));
  std::string error;
  if (store.Set(key, value, &error)) return true;
  return Fail(failure, error.find("more than the") != std::string::npos ? "settingsTooLarge" : "settingsError", error);
}

bool ClearSetting(const WebOrigin& origin, const std::string& key, MemberFailure* failure) {
  SettingsStore store(SettingsFileFor(origin));
  std::string error;
  return store.Clear(key, &error) || Fail(failure, "settingsError", error);
}

Json::Value KeptSetting(const WebOrigin& origin, const std::string& key) {
  return SettingsStore(SettingsFileFor(origin)).Get(key);
}

std::string MacAddressForSite(const WebOrigin& origin) {
  const std::string mac = LocalMacAddress();
  return RawDeviceIdsAllowed() ? mac : SiteMacAddress(mac, MachineId(), origin.Key());
}

std::string CpuSerialForSite(const WebOrigin& origin) {
  const std::string id = MachineId();
  return RawDeviceIdsAllowed() ? id : SiteCpuSerial(id, origin.Key());
}
