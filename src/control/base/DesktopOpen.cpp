#include "control/base/DesktopOpen.h"

#include <cctype>

#include "control/base/FileSystem.h"

namespace {
bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Text the desktop shows in an editor or a browser: no NUL bytes, and nothing
// that a desktop would take for a launcher or a script whatever its name.
bool PlainText(std::string_view head) {
  if (head.find('\0') != std::string_view::npos) return false;
  if (StartsWith(head, "#!")) return false;
  return head.find("[Desktop Entry]") == std::string_view::npos;
}

bool ContentFits(const std::string& extension, std::string_view head) {
  if (extension == "pdf") return head.find("%PDF-") != std::string_view::npos;  // may follow a few bytes of junk
  if (extension == "png") return StartsWith(head, "\x89PNG\r\n\x1a\n");
  if (extension == "jpg" || extension == "jpeg") return StartsWith(head, "\xFF\xD8\xFF");
  if (extension == "gif") return StartsWith(head, "GIF87a") || StartsWith(head, "GIF89a");
  if (extension == "bmp") return StartsWith(head, "BM");
  if (extension == "webp") return StartsWith(head, "RIFF") && head.substr(8, 4) == "WEBP";
  if (extension == "tif" || extension == "tiff")
    return StartsWith(head, std::string_view("II*\0", 4)) || StartsWith(head, std::string_view("MM\0*", 4));
  if (extension == "xlsx" || extension == "ods") return StartsWith(head, "PK\x03\x04");
  if (extension == "xls") return StartsWith(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  if (extension == "csv" || extension == "txt" || extension == "log" || extension == "htm" || extension == "html")
    return PlainText(head);
  return false;
}
}  // namespace

bool DecideDesktopOpen(std::string_view name, std::string_view head, unsigned mode, std::string* reason) {
  auto refuse = [&](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  const size_t slash = name.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  if (mode & 0111) return refuse("'" + std::string(base) + "' is executable");
  const size_t dot = base.rfind('.');
  if (dot == std::string_view::npos || dot == 0)
    return refuse("'" + std::string(base) + "' has no document type in its name");
  std::string extension(base.substr(dot + 1));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!ContentFits(extension, head.substr(0, kDesktopOpenHeadBytes))) {
    static const char* const kDocuments[] = {"pdf", "png", "jpg", "jpeg", "gif", "bmp", "webp", "tif", "tiff",
                                             "xlsx", "ods", "xls", "csv", "txt", "log", "htm", "html"};
    for (const char* known : kDocuments)
      if (extension == known)
        return refuse("'" + std::string(base) + "' does not hold what its name says (." + extension + ")");
    return refuse("'" + std::string(base) + "' is not a document type that is opened (." + extension + ")");
  }
  return true;
}

bool OpenDocument(const std::string& path, std::string* code, std::string* message) {
  // The bytes looked at come from the file that is opened (no link followed,
  // no waiting on anything but a regular file).
  ReadableFile file;
  if (!file.Open(path, true)) {
    *code = "fileError";
    *message = "cannot open '" + path + "' (not a regular file, or unreadable)";
    return false;
  }
  std::string head(kDesktopOpenHeadBytes, '\0');
  const long long n = file.Read(head.data(), head.size());
  head.resize(n > 0 ? static_cast<size_t>(n) : 0);
  std::string reason;
  if (!DecideDesktopOpen(path, head, file.Permissions(), &reason)) {
    *code = "fileTypeRefused";
    *message = "not opened: " + reason;
    return false;
  }
  if (!LaunchOpener(path)) {
    *code = "noDesktop";
    *message = "no desktop to open " + path + " on";
    return false;
  }
  return true;
}
