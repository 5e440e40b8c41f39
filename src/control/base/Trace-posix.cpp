#include "control/base/Trace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>

void Trace(const char* what) {
  // Opened once per process; O_APPEND keeps the lines of several processes whole.
  static const int fd = [] {
    const char* path = std::getenv("KESTRIX_TRACE");
    return path && *path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
  }();
  if (fd < 0) return;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  char line[256];
  int n = std::snprintf(line, sizeof line, "%lld.%03ld %d %s\n", static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000,
                        (now.tv_nsec / 1000) % 1000, static_cast<int>(getpid()), what);
  if (n > 0) (void)!write(fd, line, static_cast<size_t>(std::min<int>(n, sizeof line - 1)));
}
