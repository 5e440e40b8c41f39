// Temporary folders, environment variables and files for the control's
// tests, the same on every platform (TestFolders-posix.cpp,
// TestFolders-win32.cpp). Paths are UTF-8 with '/' between their parts.
#pragma once

#include <string>

// A new empty folder under the system's temporary folder (on POSIX under
// /tmp: short, for socket paths), removed with its content.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();

 private:
  std::string m_name;
  bool m_had = false;
  std::string m_old;
};

// Points the control's folders (ControlPaths.h) and the home folder into
// root for the life of the object: the variables each platform reads.
class ScopedControlFolders {
 public:
  explicit ScopedControlFolders(const std::string& root);
  ScopedControlFolders(const ScopedControlFolders&) = delete;
  ScopedControlFolders& operator=(const ScopedControlFolders&) = delete;
  ~ScopedControlFolders();
  // Where the sites' files then lie (DefaultFilesFolder) as the platform
  // names it: root/data/kestrix/files; root/local/Kestrix/files.
  std::string FilesFolder() const;

 private:
  std::string m_root;
  ScopedEnv* m_env[3];
};

std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Polls until path exists (deadline in ms).
bool WaitForFile(const std::string& path, int timeoutMs);

// A file every system has, outside any test's folders (/etc/passwd; win.ini).
std::string SystemFilePath();
// A symbolic link at link to target; false where the system makes none.
bool MakeLink(const std::string& target, const std::string& link);
