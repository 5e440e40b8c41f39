#include "control/SettingsStore.h"

#include <memory>

#include "control/ControlPaths.h"

SettingsStore::SettingsStore(std::string path) : m_path(std::move(path)) {}

Json::Value SettingsStore::Load() const {
  std::string text;
  Json::Value all(Json::objectValue);
  if (!ReadWholeFile(m_path, &text, size_t(16) << 20)) return all;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value parsed;
  std::string errors;
  try {
    if (reader->parse(text.data(), text.data() + text.size(), &parsed, &errors) && parsed.isObject()) return parsed;
  } catch (const std::exception&) {
  }
  return all;
}

bool SettingsStore::Save(const Json::Value& all, std::string* error) {
  size_t slash = m_path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(m_path.substr(0, slash), 0700)) {
    if (error) *error = "cannot create the folder of " + m_path;
    return false;
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "  ";
  writer["emitUTF8"] = true;
  if (!WriteFileAtomically(m_path, Json::writeString(writer, all) + "\n", 0600)) {
    if (error) *error = "cannot write " + m_path;
    return false;
  }
  return true;
}

Json::Value SettingsStore::Get(const std::string& key) const {
  Json::Value all = Load();
  const Json::Value* found = all.find(key.data(), key.data() + key.size());
  return found ? *found : Json::Value();
}

bool SettingsStore::Set(const std::string& key, const Json::Value& value, std::string* error) {
  Json::Value all = Load();
  all[key] = value;
  return Save(all, error);
}

bool SettingsStore::Clear(const std::string& key, std::string* error) {
  Json::Value all = Load();
  if (key.empty()) {
    all = Json::Value(Json::objectValue);
  } else {
    all.removeMember(key);
  }
  return Save(all, error);
}
