#include "control/jobs/JobRequest.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>

#include "control/formats/Base64.h"
#include "control/printing/PaperSize.h"
#include "control/printing/PrinterCapabilities.h"
#include "control/printing/RawPrinter.h"
#include "control/formats/SystemInfo.h"

namespace {
bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

bool ReadNumber(const Json::Value& v, double low, double high, double* out) {
  if (!v.isNumeric()) return false;
  double d = v.asDouble();
  if (!std::isfinite(d) || d < low || d > high) return false;
  *out = d;
  return true;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}
}  // namespace

Json::Value NewJobRecord(const Json::Value& request) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  std::string user = std::to_string(getuid());
  if (passwd* pw = getpwuid(getuid()); pw && pw->pw_name) user = pw->pw_name;
  time_t now = time(nullptr);
  tm utc;
  gmtime_r(&now, &utc);
  char submitted[32];
  std::strftime(submitted, sizeof submitted, "%Y-%m-%dT%H:%M:%SZ", &utc);
  Json::Value record(Json::objectValue);
  record["document"] = request["title"].asString();
  record["machineName"] = host;
  record["position"] = 0;
  record["pagesPrinted"] = 0;
  record["printerName"] = request["printer"].asString();
  record["size"] = 0;
  record["statusText"] = "";
  record["submittedAt"] = submitted;
  record["totalPages"] = 0;
  record["type"] = request["type"].asString();
  record["userName"] = user;
  record["status"] = "";
  record["id"] = request["id"].asString();
  record["jobId"] = 0;
  return record;
}

bool FileUrlToPath(const std::string& url, std::string* path) {
  std::string rest = url.substr(5);
  if (rest.rfind("//", 0) == 0) {
    rest = rest.substr(2);
    size_t slash = rest.find('/');
    if (slash == std::string::npos) return false;
    std::string host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return false;
    rest = rest.substr(slash);
  }
  std::string out;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && std::isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
      out += static_cast<char>(std::stoi(rest.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (rest[i] == '?' || rest[i] == '#') {
      break;
    } else {
      out += rest[i];
    }
  }
  *path = out;
  return !out.empty() && out.find('\0') == std::string::npos;
}

bool ValidPageRanges(const std::string& ranges) {
  if (ranges.empty() || ranges.size() > 200) return false;
  long last = 0;
  size_t pos = 0;
  auto skip = [&]() {
    while (pos < ranges.size() && ranges[pos] == ' ') ++pos;
  };
  auto number = [&](long* n) {
    skip();
    size_t start = pos;
    *n = 0;
    while (pos < ranges.size() && std::isdigit(static_cast<unsigned char>(ranges[pos])) && pos - start < 6)
      *n = *n * 10 + (ranges[pos++] - '0');
    skip();
    return pos > start && *n > 0;
  };
  while (true) {
    long from = 0, to = 0;
    if (!number(&from)) return false;
    to = from;
    if (pos < ranges.size() && ranges[pos] == '-') {
      ++pos;
      if (!number(&to)) return false;
    }
    if (from <= last || to < from) return false;
    last = to;
    if (pos == ranges.size()) return true;
    if (ranges[pos] != ',') return false;
    ++pos;
  }
}

std::string SniffMimeType(const std::string& bytes) {
  auto starts = [&](std::string_view magic) { return bytes.compare(0, magic.size(), magic) == 0; };
  if (starts("%PDF-")) return "application/pdf";
  if (starts("%!")) return "application/postscript";
  if (starts("\x89PNG\r\n\x1a\n")) return "image/png";
  if (starts("\xFF\xD8\xFF")) return "image/jpeg";
  if (starts("GIF87a") || starts("GIF89a")) return "image/gif";
  if (starts("II*") || starts("MM\0*")) return "image/tiff";
  std::string head = bytes.substr(0, 512);
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  size_t first = head.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && (head.compare(first, 9, "<!doctype") == 0 || head.compare(first, 5, "<html") == 0))
    return "text/html";
  if (bytes.find('\0') == std::string::npos && ValidUtf8(bytes)) return "text/plain";
  return std::string();
}

bool BuildJobRequest(const Json::Value& job, JobMode mode, const std::string& type, const std::string& id,
                     const std::string& outputPath, const JobDefaults& defaults, const FileStore& files,
                     Json::Value* request, std::string* error) {
  if (!job.isObject()) return Fail(error, "the job must be an object");
  Json::Value out(Json::objectValue);
  out["id"] = id;
  out["type"] = type;
  out["mode"] = mode == JobMode::Print ? "print" : mode == JobMode::Png ? "png" : mode == JobMode::Preview ? "preview" : "pdf";
  if (mode != JobMode::Print) out["output"] = outputPath;

  // ---- content -------------------------------------------------------------
  Json::Value source(Json::objectValue);
  std::string title;
  auto text = [&](const char* key) { return job[key].isString() ? job[key].asString() : std::string(); };
  const bool raw = job.isMember("raw") && !job["raw"].isNull();
  if (raw) {
    // Bytes in the printer's own language: nothing renders or converts them.
    if (mode != JobMode::Print) return Fail(error, "raw jobs print; they cannot be written to a file");
    std::string bytes;
    if (!ReadRawContent(job["raw"], &bytes, error)) return false;
    for (const char* member : {"html", "url", "file", "data", "paper", "mediaSource", "mediaType", "colorMode",
                               "scaling", "quality", "resolution", "pagesPerSheet", "outputBin", "finishings"})
      if (job.isMember(member) && !job[member].isNull())
        return Fail(error, std::string("a raw job goes to the printer unchanged: \"") + member + "\" cannot apply");
    source["data"] = Base64Encode(bytes);
    source["mime"] = "application/vnd.cups-raw";
    title = "Raw job";
  } else if (!text("html").empty()) {
    source["html"] = text("html");
    // HTML lives at the page's address when it is a web address.
    source["documentUrl"] = defaults.origin.IsValid() ? defaults.pageUrl : "http://kestrix.invalid/document.html";
    source["mime"] = "text/html";
  } else if (!text("url").empty()) {
    std::string url = text("url");
    if (StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://")) {
      source["url"] = url;
      source["mime"] = "text/html";
      title = url;
    } else if (StartsWithNoCase(url, "file:")) {
      std::string path, real;
      if (!FileUrlToPath(url, &path)) return Fail(error, "cannot read the address '" + url + "'");
      if (!files.Resolve(path, FileStore::Access::Read, &real, error)) return false;
      source["file"] = real;
      title = BaseName(real);
    } else {
      return Fail(error, "unsupported address '" + url + "' (http, https or file only)");
    }
  } else if (!text("file").empty()) {
    std::string real;
    if (!files.Resolve(text("file"), FileStore::Access::Read, &real, error)) return false;
    source["file"] = real;
    title = BaseName(real);
  } else if (!text("data").empty()) {
    std::string data = text("data");
    // A data: address is taken as it is: its type, then its base64 text.
    std::string declared = text("type");
    if (StartsWithNoCase(data, "data:")) {
      size_t comma = data.find(',');
      if (comma == std::string::npos || data.substr(0, comma).find(";base64") == std::string::npos)
        return Fail(error, "data: addresses must be base64");
      if (declared.empty()) declared = data.substr(5, data.find(';') - 5);
      data = data.substr(comma + 1);
    }
    std::string bytes;
    if (!Base64Decode(data, &bytes)) return Fail(error, "\"data\" is not valid base64");
    if (bytes.empty()) return Fail(error, "\"data\" is empty");
    source["data"] = data;
    if (!declared.empty()) {
      std::string mime = MimeTypeFor(declared);
      if (mime.empty()) return Fail(error, "unknown type '" + declared + "'");
      source["mime"] = mime;
    }
  } else {
    return Fail(error, "the job has no content (html, url, file or data)");
  }
  if (source.isMember("file") && !source.isMember("mime")) {
    std::string mime = MimeTypeFor(source["file"].asString());
    if (!mime.empty()) source["mime"] = mime;
  }
  if (source.isMember("mime") && !IsPrintableType(source["mime"].asString()) &&
      source["mime"].asString() != "application/vnd.cups-raw")
    return Fail(error, "cannot print documents of type " + source["mime"].asString());
  out["source"] = source;

  // ---- settings ------------------------------------------------------------
  Json::Value render(Json::objectValue);
  Json::Value options(Json::objectValue);
  if (job.isMember("printer") && !job["printer"].isNull()) {
    if (!job["printer"].isString()) return Fail(error, "\"printer\" must be a name");
    out["printer"] = job["printer"].asString();
    std::string hostPort, why;
    if (AllowedRawSocket(out["printer"].asString(), &hostPort, &why)) {
      if (!raw) return Fail(error, "a socket printer takes raw jobs only (\"raw\")");
      if (mode != JobMode::Print) return Fail(error, "a socket printer prints; it writes no files");
      out["socket"] = hostPort;
    } else if (!why.empty()) {
      return Fail(error, why);
    }
  } else {
    out["printer"] = "";
  }
  if (job.isMember("paper") && !job["paper"].isNull()) {
    Paper paper;
    if (!LookupPaper(job["paper"], &paper, error)) return false;
    render["paperWidthMm"] = paper.widthMm;
    render["paperHeightMm"] = paper.heightMm;
    render["paperGiven"] = true;
    options["media"] = paper.name;
  }
  bool landscape = false;
  if (job.isMember("landscape") && !job["landscape"].isNull()) {
    if (!job["landscape"].isBool() && !job["landscape"].isNumeric()) return Fail(error, "\"landscape\" must be true or false");
    landscape = job["landscape"].isBool() ? job["landscape"].asBool() : job["landscape"].asDouble() != 0;
  }
  render["landscape"] = landscape;
  if (job.isMember("copies") && !job["copies"].isNull()) {
    double copies = 0;
    if (!ReadNumber(job["copies"], 1, 999, &copies) || copies != std::floor(copies))
      return Fail(error, "\"copies\" must be a whole number from 1 to 999");
    options["copies"] = std::to_string(static_cast<int>(copies));
  }
  const Json::Value& margins = job["margins"];
  double top = 10, right = 10, bottom = 10, left = 10;
  bool marginsGiven = false;
  if (margins.isNumeric()) {
    if (!ReadNumber(margins, 0, 200, &top)) return Fail(error, "\"margins\" must be 0 to 200 mm");
    right = bottom = left = top;
    marginsGiven = true;
  } else if (margins.isObject()) {
    const char* names[4] = {"top", "right", "bottom", "left"};
    double* values[4] = {&top, &right, &bottom, &left};
    for (int i = 0; i < 4; ++i) {
      if (!margins.isMember(names[i])) continue;
      if (!ReadNumber(margins[names[i]], 0, 200, values[i]))
        return Fail(error, std::string("margin \"") + names[i] + "\" must be 0 to 200 mm");
    }
    marginsGiven = true;
  } else if (!margins.isNull()) {
    return Fail(error, "\"margins\" must be {top, right, bottom, left} in mm");
  }
  if (defaults.offsetLeftMm != 0 || defaults.offsetTopMm != 0) {
    left = std::max(0.0, left + defaults.offsetLeftMm);
    top = std::max(0.0, top + defaults.offsetTopMm);
    marginsGiven = true;
  }
  render["marginTopMm"] = top;
  render["marginRightMm"] = right;
  render["marginBottomMm"] = bottom;
  render["marginLeftMm"] = left;
  render["marginsGiven"] = marginsGiven;
  if (job.isMember("duplex") && !job["duplex"].isNull()) {
    const Json::Value& d = job["duplex"];
    std::string sides;
    if (d.isBool()) sides = d.asBool() ? "two-sided-long-edge" : "one-sided";
    else if (d.isString() && d.asString() == "long") sides = "two-sided-long-edge";
    else if (d.isString() && d.asString() == "short") sides = "two-sided-short-edge";
    else if (d.isString() && (d.asString() == "none" || d.asString() == "simplex")) sides = "one-sided";
    else return Fail(error, "\"duplex\" must be true, false, \"long\" or \"short\"");
    options["sides"] = sides;
  }
  std::string ranges;
  if (job.isMember("pageRanges") && !job["pageRanges"].isNull()) {
    if (!job["pageRanges"].isString() || !ValidPageRanges(job["pageRanges"].asString()))
      return Fail(error, "\"pageRanges\" must look like \"1-3,5\" (ascending)");
    ranges = job["pageRanges"].asString();
  } else if (defaults.skipPages > 0) {
    ranges = std::to_string(defaults.skipPages + 1) + "-";
  }
  if (!ranges.empty()) {
    render["pageRanges"] = ranges;
    options["page-ranges"] = ranges;  // used only for documents CUPS lays out itself
  }
  if (landscape) options["orientation-requested"] = "4";  // likewise
  if (!ReadFeatureOptions(job, &options, error)) return false;
  if (!text("title").empty()) title = text("title");
  if (title.empty()) title = "Kestrix document";
  out["title"] = title.substr(0, 255);
  render["printBackground"] = defaults.printBackground;
  render["extraCss"] = defaults.extraCss;
  double width = 1024, timeout = 60, follow = 600;
  if (job.isMember("width") && !ReadNumber(job["width"], 16, 8192, &width))
    return Fail(error, "\"width\" must be 16 to 8192 pixels");
  if (job.isMember("timeout") && !ReadNumber(job["timeout"], 1, 600, &timeout))
    return Fail(error, "\"timeout\" must be 1 to 600 seconds");
  if (job.isMember("follow") && !ReadNumber(job["follow"], 0, 86400, &follow))
    return Fail(error, "\"follow\" must be 0 to 86400 seconds");
  render["imageWidth"] = static_cast<int>(width);
  render["timeoutMs"] = static_cast<int>(timeout * 1000);
  out["render"] = render;
  out["cupsOptions"] = options;
  out["followSeconds"] = follow;
  out["network"] = defaults.network.ToJson();
  *request = out;
  return true;
}
