#include "control/printing/PaperSize.h"

#include <cups/cups.h>  // pwg.h needs the declarations cups.h brings first
#include <cups/pwg.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {
constexpr double kUnitsPerMm = 100.0;  // PWG sizes are in 2540ths of an inch = hundredths of a mm

bool Custom(double widthMm, double heightMm, Paper* paper, std::string* error) {
  if (!(widthMm >= 10 && widthMm <= 5000 && heightMm >= 10 && heightMm <= 50000)) {
    if (error) *error = "paper size out of range (10 mm to 5 m wide, 10 mm to 50 m long)";
    return false;
  }
  int w = static_cast<int>(std::lround(widthMm * kUnitsPerMm));
  int h = static_cast<int>(std::lround(heightMm * kUnitsPerMm));
  // A standard size of these measures keeps its standard name.
  if (pwg_media_t* known = pwgMediaForSize(w, h)) {
    if (std::abs(known->width - w) <= 100 && std::abs(known->length - h) <= 100) {
      paper->name = known->pwg;
      paper->widthMm = known->width / kUnitsPerMm;
      paper->heightMm = known->length / kUnitsPerMm;
      return true;
    }
  }
  char name[128];
  pwgFormatSizeName(name, sizeof name, "custom", nullptr, w, h, "mm");
  paper->name = name;
  paper->widthMm = widthMm;
  paper->heightMm = heightMm;
  return true;
}
}  // namespace

bool LookupPaper(const Json::Value& paperValue, Paper* paper, std::string* error) {
  if (paperValue.isObject()) {
    const Json::Value& w = paperValue["width"];
    const Json::Value& h = paperValue["height"];
    if (!w.isNumeric() || !h.isNumeric()) {
      if (error) *error = "paper object needs numeric width and height in millimetres";
      return false;
    }
    return Custom(w.asDouble(), h.asDouble(), paper, error);
  }
  if (!paperValue.isString() || paperValue.asString().empty()) {
    if (error) *error = "paper must be a name or {width, height}";
    return false;
  }
  const std::string name = paperValue.asString();
  pwg_media_t* media = pwgMediaForPWG(name.c_str());
  if (!media) media = pwgMediaForLegacy(name.c_str());
  if (!media) media = pwgMediaForPPD(name.c_str());
  if (media && media->pwg && media->width > 0 && media->length > 0) {
    paper->name = media->pwg;
    paper->widthMm = media->width / kUnitsPerMm;
    paper->heightMm = media->length / kUnitsPerMm;
    return true;
  }
  // "100x150mm", "4x6in"
  double a = 0, b = 0;
  char unit[4] = {};
  if (std::sscanf(name.c_str(), "%lfx%lf%3s", &a, &b, unit) == 3) {
    std::string u = unit;
    if (u == "mm") return Custom(a, b, paper, error);
    if (u == "in") return Custom(a * 25.4, b * 25.4, paper, error);
  }
  if (error) *error = "unknown paper '" + name + "'";
  return false;
}
