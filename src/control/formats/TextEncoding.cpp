#include "control/formats/TextEncoding.h"

#include <algorithm>
#include <cctype>

bool IsUtf8Name(const std::string& charset) {
  std::string lower;
  for (char c : charset)
    if (c != '-' && c != '_') lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.empty() || lower == "utf8";
}

std::string SniffHtmlCharset(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return "UTF-8";
  if (bytes.substr(0, 2) == "\xFF\xFE") return "UTF-16LE";
  if (bytes.substr(0, 2) == "\xFE\xFF") return "UTF-16BE";
  std::string head(bytes.substr(0, 4096));
  std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
  size_t pos = 0;
  while ((pos = head.find("<meta", pos)) != std::string::npos) {
    size_t end = head.find('>', pos);
    if (end == std::string::npos) break;
    std::string tag = head.substr(pos, end - pos);
    size_t at = tag.find("charset");
    if (at != std::string::npos) {
      at += 7;
      while (at < tag.size() && (tag[at] == ' ' || tag[at] == '=' || tag[at] == '"' || tag[at] == '\'')) ++at;
      size_t stop = at;
      while (stop < tag.size() && (std::isalnum(static_cast<unsigned char>(tag[stop])) || tag[stop] == '-' ||
                                   tag[stop] == '_' || tag[stop] == ':' || tag[stop] == '.'))
        ++stop;
      if (stop > at) return std::string(bytes.substr(pos + at, stop - at));
    }
    pos = end;
  }
  return "UTF-8";
}
