#include "platform/StandardInput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {
// The wake-up channel of the standard input reader: readable once standard
// input has been closed by the keepalive.
int g_wake[2] = {-1, -1};
}  // namespace

void PrepareInputStream() {
  if (g_wake[0] < 0 && ::pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) g_wake[0] = g_wake[1] = -1;
}

int InputWakeFd() { return g_wake[0]; }

void CloseInputStream() {
  // dup2 replaces fd 0 in one step: the extension's end of the pipe sees it
  // closed, and a read that has not started yet finds end of input instead
  // of whatever file a later open might have put on a free descriptor 0.
  int nul = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nul >= 0) {
    ::dup2(nul, STDIN_FILENO);
    ::close(nul);
  }
  if (g_wake[1] >= 0) {
    char b = 1;
    [[maybe_unused]] ssize_t w = ::write(g_wake[1], &b, 1);
  }
}

size_t ReadInput(int fd, int wakeFd, uint8_t* buffer, size_t size) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int r = ::poll(fds, wakeFd >= 0 ? 2 : 1, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (wakeFd >= 0 && fds[1].revents) return 0;
    ssize_t got = ::read(fd, buffer, size);
    if (got > 0) return static_cast<size_t>(got);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return 0;
  }
}
