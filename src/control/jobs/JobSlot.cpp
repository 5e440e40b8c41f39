#include "control/jobs/JobSlot.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/Pipe.h"

bool JobSlot::Acquire(int slots, int waitSeconds, const std::function<void()>& waiting) {
  Release();
  const std::string folder = PrivatePipeFolder();
  if (folder.empty()) return true;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  bool told = false;
  for (;;) {
    for (int i = 0; i < slots; ++i) {
      std::string path = folder + "/" + m_kind + std::to_string(i);
      int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0) continue;
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        m_fd = fd;
        return true;
      }
      close(fd);
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    if (!told && waiting) waiting();
    told = true;
    poll(nullptr, 0, 200);
  }
}

void JobSlot::Release() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}
