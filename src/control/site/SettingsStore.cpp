#include "control/site/SettingsStore.h"

#include <memory>

#include "control/base/ControlPaths.h"

SettingsStore::SettingsStore(std::string path) : m_path(std::move(path)) {}

namespace {
// The one way the file is read, so that what is written can be checked with it.
bool ParseSettings(const std::string& text, Json::Value* out) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + text.size(), out, &errors) && out->isObject();
  } catch (const std::exception&) {
    return false;  // nested deeper than the reader goes
  }
}
}  // namespace

Json::Value SettingsStore::Load() const {
  std::string text;
  Json::Value parsed;
  if (ReadWholeFile(m_path, &text, kMaxFileBytes) && ParseSettings(text, &parsed)) return parsed;
  return Json::Value(Json::objectValue);
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
  const std::string text = Json::writeString(writer, all) + "\n";
  if (text.size() > kMaxFileBytes) {
    if (error)
      *error = "the settings would take " + std::to_string(text.size()) + " bytes, more than the " +
               std::to_string(kMaxFileBytes >> 20) + " MiB kept; nothing was changed";
    return false;
  }
  Json::Value check;
  if (!ParseSettings(text, &check)) {
    if (error) *error = "the settings could not be read back; nothing was changed";
    return false;
  }
  if (!WriteFileAtomically(m_path, text, 0600)) {
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
