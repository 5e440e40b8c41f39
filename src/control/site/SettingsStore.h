// Settings a page keeps per key ("getLastSettings" / "setLastSettings" /
// "clearLastSettings"), in one JSON object in $XDG_DATA_HOME/kestrix/settings.json
// written atomically. A file that cannot be parsed reads as empty.
// The file never grows past what is read back (kMaxFileBytes): a change that
// would take it over is refused and the file stays as it was, so one large
// value cannot make every setting unreadable.
#pragma once

#include <json/json.h>

#include <string>

class SettingsStore {
 public:
  static constexpr size_t kMaxFileBytes = size_t(16) << 20;

  explicit SettingsStore(std::string path);

  // null when the key has no settings.
  Json::Value Get(const std::string& key) const;
  // False with a message when the file cannot be written or would be larger
  // than kMaxFileBytes (or otherwise not readable back); nothing changes then.
  bool Set(const std::string& key, const Json::Value& value, std::string* error);
  // Removes one key; the empty key removes all of them.
  bool Clear(const std::string& key, std::string* error);

  const std::string& Path() const { return m_path; }

 private:
  Json::Value Load() const;
  bool Save(const Json::Value& all, std::string* error);

  std::string m_path;
};
