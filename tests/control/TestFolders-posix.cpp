#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "TestFolders.h"

namespace {
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}
}  // namespace

TempFolder::TempFolder() {
  char name[] = "/tmp/kxt-XXXXXX";
  if (mkdtemp(name)) m_path = name;
}

TempFolder::~TempFolder() {
  if (!m_path.empty()) nftw(m_path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
  if (const char* old = std::getenv(name.c_str())) {
    m_had = true;
    m_old = old;
  }
  setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (m_had) setenv(m_name.c_str(), m_old.c_str(), 1);
  else unsetenv(m_name.c_str());
}

ScopedControlFolders::ScopedControlFolders(const std::string& root)
    : m_root(root),
      m_env{new ScopedEnv("XDG_DATA_HOME", root + "/data"), new ScopedEnv("XDG_CONFIG_HOME", root + "/config"),
            new ScopedEnv("HOME", root)} {}

std::string ScopedControlFolders::FilesFolder() const { return m_root + "/data/kestrix/files"; }

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string SystemFilePath() { return "/etc/passwd"; }

bool MakeLink(const std::string& target, const std::string& link) {
  return symlink(target.c_str(), link.c_str()) == 0;
}
