#include "control/formats/SystemInfo.h"

#include <algorithm>
#include <cctype>
#include <vector>

#ifndef KESTRIX_VERSION
#define KESTRIX_VERSION "0.0.0"
#endif

std::string ControlVersion() { return KESTRIX_VERSION; }

namespace {
struct TypeEntry {
  const char* extension;
  const char* mime;
  bool printable;
};
constexpr TypeEntry kTypes[] = {
    {"pdf", "application/pdf", true},
    {"ps", "application/postscript", true},
    {"eps", "application/postscript", true},
    {"txt", "text/plain", true},
    {"text", "text/plain", true},
    {"log", "text/plain", true},
    {"csv", "text/plain", true},
    {"png", "image/png", true},
    {"jpg", "image/jpeg", true},
    {"jpeg", "image/jpeg", true},
    {"gif", "image/gif", true},
    {"tif", "image/tiff", true},
    {"tiff", "image/tiff", true},
    {"pwg", "image/pwg-raster", true},
    {"urf", "image/urf", true},
    {"html", "text/html", true},
    {"htm", "text/html", true},
    {"xhtml", "application/xhtml+xml", true},
    {"svg", "image/svg+xml", false},
    {"bmp", "image/bmp", false},
    {"doc", "application/msword", false},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document", false},
    {"xls", "application/vnd.ms-excel", false},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", false},
    {"zip", "application/zip", false},
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}
}  // namespace

std::string MimeTypeFor(const std::string& nameOrType) {
  std::string text = Lower(nameOrType);
  // Trim blanks and MIME parameters ("text/plain; charset=utf-8").
  text.erase(0, text.find_first_not_of(" \t"));
  if (size_t semi = text.find(';'); semi != std::string::npos) text.resize(semi);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  if (text.empty()) return std::string();
  if (text.find('/') != std::string::npos && text.find('.') == std::string::npos) {
    for (const auto& t : kTypes)
      if (text == t.mime) return t.mime;
    if (text == "application/vnd.cups-raw" || text == "application/octet-stream") return text;
    return std::string();
  }
  size_t dot = text.rfind('.');
  std::string extension = dot == std::string::npos ? text : text.substr(dot + 1);
  for (const auto& t : kTypes)
    if (extension == t.extension) return t.mime;
  return std::string();
}

bool IsPrintableType(const std::string& nameOrType) {
  std::string mime = MimeTypeFor(nameOrType);
  for (const auto& t : kTypes)
    if (mime == t.mime) return t.printable;
  return false;
}

bool CompareVersions(const std::string& a, const std::string& b, int* order) {
  auto parse = [](const std::string& text, std::vector<long>* parts) {
    if (text.empty() || text.size() > 64) return false;
    long current = -1;
    for (char c : text) {
      if (c == '.') {
        if (current < 0) return false;
        parts->push_back(current);
        current = -1;
      } else if (c >= '0' && c <= '9') {
        current = (current < 0 ? 0 : current) * 10 + (c - '0');
        if (current > 1000000000) return false;
      } else {
        return false;
      }
    }
    if (current < 0) return false;
    parts->push_back(current);
    return true;
  };
  std::vector<long> pa, pb;
  if (!parse(a, &pa) || !parse(b, &pb)) return false;
  size_t n = std::max(pa.size(), pb.size());
  pa.resize(n, 0);
  pb.resize(n, 0);
  *order = pa < pb ? -1 : pa > pb ? 1 : 0;
  return true;
}
