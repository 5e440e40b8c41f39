#include "control/base/ControlJson.h"

#include <memory>

#include "control/base/ControlPaths.h"

Json::Value ReadControlJson() {
  std::string text;
  if (!ReadWholeFile(ControlConfigPath(), &text, size_t(1) << 20)) return Json::Value(Json::objectValue);
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value config;
  std::string errors;
  try {
    if (reader->parse(text.data(), text.data() + text.size(), &config, &errors) && config.isObject()) return config;
  } catch (const std::exception&) {
  }
  return Json::Value(Json::objectValue);
}
