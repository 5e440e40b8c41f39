#include "control/printing/PrinterCapabilities.h"

#include <cups/cups.h>
#include <cups/pwg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
// A PWG size name's measures as {width, height} in mm; null when it has none.
Json::Value PaperMm(const std::string& name) {
  pwg_media_t* media = pwgMediaForPWG(name.c_str());
  if (!media || media->width <= 0 || media->length <= 0) return Json::Value();
  Json::Value size(Json::objectValue);
  size["width"] = media->width / 100.0;
  size["height"] = media->length / 100.0;
  return size;
}

// Whether a paper (a PWG name, as a job's "media") is one the printer lists,
// by name or by measures (within a millimetre), or fits its custom range.
bool PaperSupported(const Json::Value& caps, const std::string& name) {
  for (const auto& m : caps["media"])
    if (m.asString() == name) return true;
  const Json::Value size = PaperMm(name);
  if (!size.isObject()) return false;
  const double w = size["width"].asDouble(), h = size["height"].asDouble();
  for (const auto& m : caps["media"]) {
    const Json::Value other = PaperMm(m.asString());
    if (other.isObject() && std::fabs(other["width"].asDouble() - w) <= 1 && std::fabs(other["height"].asDouble() - h) <= 1)
      return true;
  }
  const Json::Value &low = caps["customPaperMin"], &high = caps["customPaperMax"];
  return caps["customPaper"].asBool() && low.isObject() && high.isObject() && w >= low["width"].asDouble() - 0.1 &&
         h >= low["height"].asDouble() - 0.1 && w <= high["width"].asDouble() + 0.1 &&
         h <= high["height"].asDouble() + 0.1;
}

Json::Value Keywords(ipp_t* ipp, const char* name) {
  Json::Value list(Json::arrayValue);
  ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  for (int i = 0; attr && i < ippGetCount(attr); ++i) {
    const char* s = ippGetString(attr, i, nullptr);
    if (!s) continue;
    // CUPS may list a value twice ("none" among finishings); once is enough.
    bool seen = false;
    for (const auto& v : list) seen = seen || v.asString() == s;
    if (!seen) list.append(s);
  }
  return list;
}

std::string Keyword(ipp_t* ipp, const char* name) {
  ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  const char* s = attr ? ippGetString(attr, 0, nullptr) : nullptr;
  return s ? s : "";
}

// Enums by their keyword ("finishings" 20 -> "staple-top-left").
Json::Value EnumNames(ipp_t* ipp, const char* name) {
  Json::Value list(Json::arrayValue);
  ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ENUM);
  for (int i = 0; attr && i < ippGetCount(attr); ++i) {
    std::string s = ippEnumString(name, ippGetInteger(attr, i));
    bool seen = false;
    for (const auto& v : list) seen = seen || v.asString() == s;
    if (!seen) list.append(s);
  }
  return list;
}

std::string ResolutionText(int x, int y, ipp_res_t units) {
  std::string unit = units == IPP_RES_PER_CM ? "dpcm" : "dpi";
  return x == y ? std::to_string(x) + unit : std::to_string(x) + "x" + std::to_string(y) + unit;
}

Json::Value Resolutions(ipp_t* ipp, const char* name) {
  Json::Value list(Json::arrayValue);
  ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_RESOLUTION);
  for (int i = 0; attr && i < ippGetCount(attr); ++i) {
    int y = 0;
    ipp_res_t units;
    int x = ippGetResolution(attr, i, &y, &units);
    list.append(ResolutionText(x, y, units));
  }
  return list;
}

std::string QualityName(int value) {
  switch (value) {
    case IPP_QUALITY_DRAFT: return "draft";
    case IPP_QUALITY_NORMAL: return "normal";
    case IPP_QUALITY_HIGH: return "high";
    default: return std::to_string(value);
  }
}

// Integers and ranges as the list of values they allow (ranges up to 16).
Json::Value Numbers(ipp_t* ipp, const char* name) {
  Json::Value list(Json::arrayValue);
  ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  for (int i = 0; attr && i < ippGetCount(attr); ++i) {
    if (ippGetValueTag(attr) == IPP_TAG_RANGE) {
      int upper = 0;
      int lower = ippGetRange(attr, i, &upper);
      for (int n = lower; n <= std::min(upper, 16); ++n) list.append(n);
    } else if (ippGetValueTag(attr) == IPP_TAG_INTEGER) {
      list.append(ippGetInteger(attr, i));
    }
  }
  return list;
}

Json::Value Markers(ipp_t* ipp) {
  Json::Value list(Json::arrayValue);
  ipp_attribute_t* names = ippFindAttribute(ipp, "marker-names", IPP_TAG_ZERO);
  ipp_attribute_t* colors = ippFindAttribute(ipp, "marker-colors", IPP_TAG_ZERO);
  ipp_attribute_t* types = ippFindAttribute(ipp, "marker-types", IPP_TAG_ZERO);
  ipp_attribute_t* levels = ippFindAttribute(ipp, "marker-levels", IPP_TAG_INTEGER);
  ipp_attribute_t* lows = ippFindAttribute(ipp, "marker-low-levels", IPP_TAG_INTEGER);
  ipp_attribute_t* highs = ippFindAttribute(ipp, "marker-high-levels", IPP_TAG_INTEGER);
  const int count = names ? ippGetCount(names) : 0;
  auto text = [](ipp_attribute_t* a, int i) {
    const char* s = a && i < ippGetCount(a) ? ippGetString(a, i, nullptr) : nullptr;
    return std::string(s ? s : "");
  };
  // A level is a percentage; -1 unknown, -2 unknown but not empty, -3 some left.
  auto number = [](ipp_attribute_t* a, int i) { return a && i < ippGetCount(a) ? ippGetInteger(a, i) : -1; };
  for (int i = 0; i < count; ++i) {
    Json::Value m(Json::objectValue);
    m["name"] = text(names, i);
    m["color"] = text(colors, i);
    m["type"] = text(types, i);
    m["level"] = number(levels, i);
    m["lowLevel"] = number(lows, i);
    m["highLevel"] = number(highs, i);
    list.append(m);
  }
  return list;
}

bool Contains(const Json::Value& list, const std::string& value) {
  for (const auto& v : list)
    if (v.asString() == value) return true;
  return false;
}

std::string Join(const Json::Value& list) {
  std::string out;
  for (const auto& v : list) out += (out.empty() ? "" : ", ") + v.asString();
  return out.empty() ? "none reported" : out;
}

struct Condition {
  const char* reason;  // without its severity suffix
  const char* condition;
};
constexpr Condition kConditions[] = {
    {"media-empty", "media-empty"},       {"media-needed", "media-empty"},
    {"media-low", "media-low"},           {"media-jam", "media-jam"},
    {"door-open", "door-open"},           {"cover-open", "door-open"},
    {"interlock-open", "door-open"},      {"toner-low", "toner-low"},
    {"marker-supply-low", "toner-low"},   {"toner-empty", "toner-empty"},
    {"marker-supply-empty", "toner-empty"}, {"marker-waste-almost-full", "waste-full"},
    {"marker-waste-full", "waste-full"},  {"output-area-almost-full", "output-full"},
    {"output-area-full", "output-full"},  {"offline", "offline"},
    {"shutdown", "offline"},              {"connecting-to-device", "offline"},
    {"timed-out", "offline"},             {"paused", "paused"},
    {"moving-to-paused", "paused"},       {"input-tray-missing", "tray-missing"},
    {"spool-area-full", "spool-full"},
};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// ---- job members ------------------------------------------------------------------
bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

// A keyword member: letters, digits, '-', '_' and '.', at most 64.
bool ReadKeyword(const Json::Value& job, const char* member, std::string* out, std::string* error) {
  const Json::Value& v = job[member];
  if (!v.isString() || v.asString().empty() || v.asString().size() > 64)
    return Fail(error, std::string("\"") + member + "\" must be a name the printer reports");
  for (char c : v.asString())
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
      return Fail(error, std::string("\"") + member + "\" must be a name the printer reports, not '" + v.asString() + "'");
  *out = v.asString();
  return true;
}
}  // namespace

const std::vector<const char*>& CapabilityAttributes() {
  static const std::vector<const char*> names = {
      "media-supported", "media-source-supported", "media-type-supported", "printer-resolution-supported",
      "print-color-mode-supported", "sides-supported", "finishings-supported", "output-bin-supported",
      "print-quality-supported", "print-scaling-supported", "number-up-supported",
      "multiple-document-handling-supported", "marker-names", "marker-colors", "marker-types", "marker-levels",
      "marker-low-levels", "marker-high-levels", "media-source-default", "media-type-default",
      "print-color-mode-default", "sides-default", "printer-resolution-default", "print-quality-default",
      "output-bin-default", "finishings-default", "media-col-default"};
  return names;
}

Json::Value CapabilitiesFromIpp(ipp_t* ipp) {
  Json::Value caps(Json::objectValue);
  Json::Value media(Json::arrayValue);
  Json::Value customMin, customMax;
  for (const auto& m : Keywords(ipp, "media-supported")) {
    const std::string name = m.asString();
    if (name.rfind("custom_min_", 0) == 0) customMin = PaperMm(name);
    else if (name.rfind("custom_max_", 0) == 0) customMax = PaperMm(name);
    else media.append(name);
  }
  caps["media"] = media;
  caps["customPaper"] = customMin.isObject() && customMax.isObject();
  if (caps["customPaper"].asBool()) {
    caps["customPaperMin"] = customMin;
    caps["customPaperMax"] = customMax;
  }
  caps["mediaSources"] = Keywords(ipp, "media-source-supported");
  caps["mediaTypes"] = Keywords(ipp, "media-type-supported");
  caps["resolutions"] = Resolutions(ipp, "printer-resolution-supported");
  caps["colorModes"] = Keywords(ipp, "print-color-mode-supported");
  caps["duplexModes"] = Keywords(ipp, "sides-supported");
  caps["finishings"] = EnumNames(ipp, "finishings-supported");
  caps["outputBins"] = Keywords(ipp, "output-bin-supported");
  Json::Value qualities(Json::arrayValue);
  if (ipp_attribute_t* q = ippFindAttribute(ipp, "print-quality-supported", IPP_TAG_ENUM))
    for (int i = 0; i < ippGetCount(q); ++i) qualities.append(QualityName(ippGetInteger(q, i)));
  caps["qualities"] = qualities;
  caps["scalings"] = Keywords(ipp, "print-scaling-supported");
  caps["pagesPerSheet"] = Numbers(ipp, "number-up-supported");
  caps["collate"] = Contains(Keywords(ipp, "multiple-document-handling-supported"), "separate-documents-collated-copies");
  caps["markers"] = Markers(ipp);

  Json::Value defaults(Json::objectValue);
  // media-source and media-type defaults may only be given inside media-col-default.
  std::string source = Keyword(ipp, "media-source-default"), type = Keyword(ipp, "media-type-default");
  if (ipp_attribute_t* col = ippFindAttribute(ipp, "media-col-default", IPP_TAG_BEGIN_COLLECTION)) {
    ipp_t* c = ippGetCollection(col, 0);
    if (source.empty()) source = Keyword(c, "media-source");
    if (type.empty()) type = Keyword(c, "media-type");
  }
  defaults["mediaSource"] = source;
  defaults["mediaType"] = type;
  defaults["colorMode"] = Keyword(ipp, "print-color-mode-default");
  defaults["duplexMode"] = Keyword(ipp, "sides-default");
  defaults["outputBin"] = Keyword(ipp, "output-bin-default");
  Json::Value resolution = Resolutions(ipp, "printer-resolution-default");
  defaults["resolution"] = resolution.empty() ? "" : resolution[0].asString();
  ipp_attribute_t* quality = ippFindAttribute(ipp, "print-quality-default", IPP_TAG_ENUM);
  defaults["quality"] = quality ? QualityName(ippGetInteger(quality, 0)) : "";
  Json::Value finishing = EnumNames(ipp, "finishings-default");
  defaults["finishings"] = finishing.empty() ? "" : finishing[0].asString();
  caps["defaults"] = defaults;
  return caps;
}

Json::Value ReasonConditions(const Json::Value& reasons) {
  Json::Value list(Json::arrayValue);
  for (const auto& r : reasons) {
    std::string reason = r.asString(), base = reason, severity = "error";
    if (reason.empty() || reason == "none") continue;
    for (const char* suffix : {"-report", "-warning", "-error"}) {
      if (EndsWith(reason, suffix)) {
        base = reason.substr(0, reason.size() - std::strlen(suffix));
        severity = suffix + 1;
        break;
      }
    }
    // Without a suffix: "paused" and "offline" are plain states, not faults.
    if (base == reason && (base == "paused" || base == "moving-to-paused")) severity = "report";
    std::string condition = base;
    for (const Condition& c : kConditions)
      if (base == c.reason) condition = c.condition;
    Json::Value entry(Json::objectValue);
    entry["condition"] = condition;
    entry["severity"] = severity;
    entry["reason"] = reason;
    list.append(entry);
  }
  return list;
}

bool ReadFeatureOptions(const Json::Value& job, Json::Value* options, std::string* error) {
  std::string word;
  struct KeywordMember {
    const char* member;
    const char* option;
  };
  for (const KeywordMember& k : {KeywordMember{"mediaSource", "media-source"}, KeywordMember{"mediaType", "media-type"},
                                 KeywordMember{"outputBin", "output-bin"}}) {
    if (!job.isMember(k.member) || job[k.member].isNull()) continue;
    if (!ReadKeyword(job, k.member, &word, error)) return false;
    (*options)[k.option] = word;
  }
  if (job.isMember("colorMode") && !job["colorMode"].isNull()) {
    if (!ReadKeyword(job, "colorMode", &word, error)) return false;
    // The everyday words for the IPP ones.
    if (word == "colour") word = "color";
    if (word == "grayscale" || word == "greyscale" || word == "gray" || word == "mono") word = "monochrome";
    (*options)["print-color-mode"] = word;
  }
  if (job.isMember("scaling") && !job["scaling"].isNull()) {
    if (!ReadKeyword(job, "scaling", &word, error)) return false;
    if (word == "document") {
      // The document's own page size, unscaled: for labels whose size the document sets.
      if (job.isMember("paper") && !job["paper"].isNull())
        return Fail(error, "\"scaling\": \"document\" keeps the document's own page size; leave \"paper\" out");
      word = "none";
    } else if (word != "fit" && word != "fill" && word != "none" && word != "auto" && word != "auto-fit") {
      return Fail(error, "\"scaling\" must be \"fit\", \"fill\", \"none\", \"auto\" or \"document\", not '" + word + "'");
    }
    (*options)["print-scaling"] = word;
  }
  if (job.isMember("quality") && !job["quality"].isNull()) {
    if (!ReadKeyword(job, "quality", &word, error)) return false;
    int value = word == "draft" ? IPP_QUALITY_DRAFT : word == "normal" ? IPP_QUALITY_NORMAL : word == "high" ? IPP_QUALITY_HIGH : 0;
    if (!value) return Fail(error, "\"quality\" must be \"draft\", \"normal\" or \"high\", not '" + word + "'");
    (*options)["print-quality"] = std::to_string(value);
  }
  if (job.isMember("resolution") && !job["resolution"].isNull()) {
    const Json::Value& r = job["resolution"];
    int x = 0, y = 0;
    char unit[8] = {};
    if (r.isNumeric() && r.asDouble() == std::floor(r.asDouble()) && r.asDouble() >= 1 && r.asDouble() <= 100000) {
      x = y = r.asInt();
      std::strcpy(unit, "dpi");
    } else if (r.isString() && r.asString().size() < 32) {
      const std::string s = r.asString();
      if (std::sscanf(s.c_str(), "%dx%d%4[a-z]", &x, &y, unit) != 3) {
        y = 0;
        if (std::sscanf(s.c_str(), "%d%4[a-z]", &x, unit) == 2) y = x;
      }
    }
    const std::string u = unit;
    if (x < 1 || y < 1 || x > 100000 || y > 100000 || (u != "dpi" && u != "dpcm"))
      return Fail(error, "\"resolution\" must look like \"600dpi\", \"300x600dpi\" or 600");
    (*options)["printer-resolution"] = x == y ? std::to_string(x) + u : std::to_string(x) + "x" + std::to_string(y) + u;
  }
  if (job.isMember("collate") && !job["collate"].isNull()) {
    if (!job["collate"].isBool()) return Fail(error, "\"collate\" must be true or false");
    (*options)["multiple-document-handling"] =
        job["collate"].asBool() ? "separate-documents-collated-copies" : "separate-documents-uncollated-copies";
  }
  if (job.isMember("pagesPerSheet") && !job["pagesPerSheet"].isNull()) {
    const Json::Value& n = job["pagesPerSheet"];
    if (!n.isNumeric() || n.asDouble() != std::floor(n.asDouble()) || n.asDouble() < 1 || n.asDouble() > 16)
      return Fail(error, "\"pagesPerSheet\" must be a whole number from 1 to 16");
    (*options)["number-up"] = std::to_string(n.asInt());
  }
  if (job.isMember("finishings") && !job["finishings"].isNull()) {
    Json::Value list = job["finishings"].isArray() ? job["finishings"] : Json::Value(Json::arrayValue);
    if (job["finishings"].isString()) list.append(job["finishings"]);
    if (list.empty() || list.size() > 16) return Fail(error, "\"finishings\" must be a name or a list of names");
    std::string values;
    for (const auto& f : list) {
      Json::Value one(Json::objectValue);
      one["finishings"] = f;
      if (!ReadKeyword(one, "finishings", &word, error)) return false;
      int value = ippEnumValue("finishings", word.c_str());
      if (value <= 0) return Fail(error, "\"finishings\": '" + word + "' is not a finishing IPP knows");
      values += (values.empty() ? "" : ",") + std::to_string(value);
    }
    (*options)["finishings"] = values;
  }
  return true;
}

bool CheckJobOptions(const Json::Value& caps, const Json::Value& options, const std::string& printer,
                     std::string* error) {
  if (!options.isObject()) return true;
  struct Check {
    const char* option;
    const char* capability;
    const char* what;
  };
  static const Check kChecks[] = {
      {"media-source", "mediaSources", "paper source"}, {"media-type", "mediaTypes", "media type"},
      {"output-bin", "outputBins", "output bin"},       {"print-color-mode", "colorModes", "colour mode"},
      {"print-scaling", "scalings", "scaling"},         {"printer-resolution", "resolutions", "resolution"},
      {"sides", "duplexModes", "duplex mode"},
  };
  auto refuse = [&](const std::string& what, const std::string& value, const Json::Value& offered) {
    return Fail(error, "printer '" + printer + "' has no " + what + " '" + value + "' (it has: " + Join(offered) + ")");
  };
  for (const Check& c : kChecks) {
    if (!options.isMember(c.option)) continue;
    const std::string value = options[c.option].asString();
    // One-sided printing needs no duplex unit: every printer does it.
    if (std::strcmp(c.option, "sides") == 0 && value == "one-sided") continue;
    if (!Contains(caps[c.capability], value)) return refuse(c.what, value, caps[c.capability]);
  }
  if (options.isMember("media") && !PaperSupported(caps, options["media"].asString())) {
    std::string offered = "it has: " + Join(caps["media"]);
    if (caps["customPaper"].asBool()) {
      char range[160];
      std::snprintf(range, sizeof range, "; custom sizes from %g x %g to %g x %g mm",
                    caps["customPaperMin"]["width"].asDouble(), caps["customPaperMin"]["height"].asDouble(),
                    caps["customPaperMax"]["width"].asDouble(), caps["customPaperMax"]["height"].asDouble());
      offered += range;
    }
    return Fail(error, "printer '" + printer + "' has no paper '" + options["media"].asString() + "' (" + offered + ")");
  }
  if (options.isMember("print-quality")) {
    std::string name = QualityName(std::atoi(options["print-quality"].asString().c_str()));
    if (!Contains(caps["qualities"], name)) return refuse("print quality", name, caps["qualities"]);
  }
  if (options.isMember("multiple-document-handling") &&
      options["multiple-document-handling"].asString() == "separate-documents-collated-copies" &&
      !caps["collate"].asBool())
    return Fail(error, "printer '" + printer + "' cannot collate copies");
  if (options.isMember("number-up")) {
    const int n = std::atoi(options["number-up"].asString().c_str());
    bool found = n == 1;
    for (const auto& v : caps["pagesPerSheet"]) found = found || v.asInt() == n;
    if (!found) return refuse("pages per sheet", std::to_string(n), caps["pagesPerSheet"]);
  }
  if (options.isMember("finishings")) {
    std::string list = options["finishings"].asString();
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t comma = std::min(list.find(',', pos), list.size());
      std::string name = ippEnumString("finishings", std::atoi(list.substr(pos, comma - pos).c_str()));
      if (!Contains(caps["finishings"], name)) return refuse("finishing", name, caps["finishings"]);
      pos = comma + 1;
    }
  }
  return true;
}
