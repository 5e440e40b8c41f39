#include "control/members/SystemActions.h"

#include "control/formats/SystemInfo.h"

Json::Value FontFamilyList() {
  Json::Value list(Json::arrayValue);
  for (const auto& family : FontFamilies()) list.append(family);
  return list;
}

Json::Value AboutLine(const std::string& name, long hostCode, const Json::Value& details, const std::string& summary) {
  Json::Value line(Json::objectValue);
  line["kind"] = "message";
  Json::Value& info = line["message"];
  if (details.isObject())
    for (const auto& key : details.getMemberNames()) info[key] = details[key];
  info["type"] = "about";
  info["name"] = name;
  info["version"] = ControlVersion();
  info["hostCode"] = static_cast<Json::Int64>(hostCode);
  info["message"] = "Kestrix printing control " + ControlVersion() + " (" + summary + ")";
  return line;
}

Json::Value UnknownPrinterStatus(const std::string& printer, const std::string& why) {
  Json::Value status(Json::objectValue);
  status["name"] = printer;
  status["state"] = "unknown";
  status["reasons"] = Json::Value(Json::arrayValue);
  status["accepting"] = false;
  status["message"] = why;
  return status;
}
