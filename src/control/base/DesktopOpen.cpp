#include "control/base/DesktopOpen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "control/base/Spawn.h"

namespace {
bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Text the desktop shows in an editor or a browser: no NUL bytes, and nothing
// that a desktop would take for a launcher or a script whatever its name.
bool PlainText(std::string_view head) {
  if (head.find('\0') != std::string_view::npos) return false;
  if (StartsWith(head, "#!")) return false;
  return head.find("[Desktop Entry]") == std::string_view::npos;
}

// Starts a detached opener for path on a desktop; false when there is none.
bool LaunchOpener(const std::string& path) {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!(display && *display) && !(wayland && *wayland)) return false;
  std::string opener = "/usr/bin/xdg-open";
  if (access(opener.c_str(), X_OK) != 0) return false;
  // Standard input and output are the host's message channel: the opener gets neither.
  std::string error;
  pid_t pid = Spawn({opener, path}, SpawnOptions{}, &error);
  if (pid < 0) return false;
  // Reap the opener when it ends (it hands the file to the desktop and quits).
  std::thread([pid] {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
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

bool DecideDesktopOpen(std::string_view name, std::string_view head, mode_t mode, std::string* reason) {
  auto refuse = [&](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  const size_t slash = name.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  if (mode & (S_IXUSR | S_IXGRP | S_IXOTH)) return refuse("'" + std::string(base) + "' is executable");
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
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    *code = "fileError";
    *message = "cannot open '" + path + "' (not a regular file, or unreadable)";
    return false;
  }
  std::string head(kDesktopOpenHeadBytes, '\0');
  ssize_t n;
  do {
    n = read(fd, head.data(), head.size());
  } while (n < 0 && errno == EINTR);
  close(fd);
  head.resize(n > 0 ? static_cast<size_t>(n) : 0);
  std::string reason;
  if (!DecideDesktopOpen(path, head, st.st_mode, &reason)) {
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
