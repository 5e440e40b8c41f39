// Writing the page file: its name, rewriting, the creation-time fallback and
// the protections against planted links and refused renames.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "browser/BootstrapPage.h"
#include "platform/Resources.h"
#include "platform/Kernel.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string PageBytes() {
  const unsigned char* data = nullptr;
  size_t size = 0;
  FindModuleResource("JS", "#102", &data, &size);
  return std::string(reinterpret_cast<const char*>(data), size);
}

class PageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "pagefileXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
    exe_ = GetModuleFileNameA();
    FILETIME ft;
    ASSERT_TRUE(GetFileCreationTime(exe_, &ft));
    exeLow_ = ft.dwLowDateTime;
  }
  void TearDown() override {
    SetUniqueSuffixSourceForTesting(nullptr);
    std::filesystem::remove_all(dir_);
  }
  // The name the next page will get.
  std::string NextName(DWORD low) { return BootstrapPageName(dir_, low, BootstrapPageCounter() + 1); }

  std::string dir_, exe_;
  DWORD exeLow_ = 0;
};

TEST_F(PageFileTest, NameFieldsAndContent) {
  EXPECT_EQ(BootstrapPageName("/t/", 4294967295u, 1), "/t/42949672951.htm");
  EXPECT_EQ(BootstrapPageName("/t/", 0, 12), "/t/012.htm");
  int before = BootstrapPageCounter();
  std::string path = WriteBootstrapPageIn(exe_, dir_);
  EXPECT_EQ(BootstrapPageCounter(), before + 1) << "incremented before use";
  EXPECT_EQ(path, BootstrapPageName(dir_, exeLow_, before + 1));
  EXPECT_EQ(ReadAll(path), PageBytes());
  // Nothing else is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()), 1);
}

TEST_F(PageFileTest, AnExistingFileIsEmptiedAndRewritten) {
  std::string expected = NextName(exeLow_);
  std::ofstream(expected) << std::string(100000, 'j');
  ASSERT_EQ(WriteBootstrapPageIn(exe_, dir_), expected);
  EXPECT_EQ(ReadAll(expected), PageBytes());
}

TEST_F(PageFileTest, UnreadableCreationTimeGivesZero) {
  int next = BootstrapPageCounter() + 1;
  std::string path = WriteBootstrapPageIn(dir_ + "no-such-executable", dir_);
  EXPECT_EQ(path, dir_ + "0" + std::to_string(next) + ".htm");
  EXPECT_EQ(ReadAll(path), PageBytes());
}

TEST_F(PageFileTest, WriteBootstrapPageUsesTheTempDirAndTheRunningExecutable) {
  const char* old = std::getenv("TMPDIR");
  std::string saved = old ? old : "";
  setenv("TMPDIR", dir_.c_str(), 1);
  std::string expected = NextName(exeLow_);
  std::string path = WriteBootstrapPage();
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  EXPECT_EQ(path, expected);
  EXPECT_EQ(ReadAll(path), PageBytes());
}

TEST_F(PageFileTest, ALinkPlantedAtTheUniqueNameIsNotFollowed) {
  std::string victim = dir_ + "victim";
  std::ofstream(victim) << "victim";
  std::string expected = NextName(exeLow_);
  const std::string hidden = dir_ + "." + expected.substr(dir_.size());  // where the new file is made
  ASSERT_EQ(symlink(victim.c_str(), (hidden + ".planted.tmp").c_str()), 0);
  ASSERT_EQ(symlink((dir_ + "dangling").c_str(), (hidden + ".dangling.tmp").c_str()), 0);
  int calls = 0;
  SetUniqueSuffixSourceForTesting([&calls] {
    ++calls;
    return calls == 1 ? "planted" : calls == 2 ? "dangling" : "fresh";
  });
  ASSERT_EQ(WriteBootstrapPageIn(exe_, dir_), expected);
  EXPECT_EQ(calls, 3) << "both planted names were skipped";
  EXPECT_EQ(ReadAll(victim), "victim");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "dangling"));
  EXPECT_EQ(ReadAll(expected), PageBytes());
}

TEST_F(PageFileTest, ALinkPlantedAtThePageNameIsReplacedNotFollowed) {
  std::string victim = dir_ + "victim";
  std::ofstream(victim) << "victim";
  std::string expected = NextName(exeLow_);
  ASSERT_EQ(symlink(victim.c_str(), expected.c_str()), 0);
  ASSERT_EQ(WriteBootstrapPageIn(exe_, dir_), expected);
  EXPECT_EQ(ReadAll(victim), "victim");
  struct stat st;
  ASSERT_EQ(lstat(expected.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadAll(expected), PageBytes());
}

TEST_F(PageFileTest, ARefusedRenameGivesTheUniqueFile) {
  std::string expected = NextName(exeLow_);
  ASSERT_EQ(mkdir(expected.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((expected + "/inside").c_str(), 0700), 0);  // a non-empty directory cannot be replaced
  std::string path = WriteBootstrapPageIn(exe_, dir_);
  EXPECT_NE(path, expected);
  EXPECT_EQ(path.rfind(dir_ + "." + expected.substr(dir_.size()) + ".", 0), 0u) << path;
  EXPECT_EQ(ReadAll(path), PageBytes());
}

TEST_F(PageFileTest, NothingWrittenGivesNoPath) {
  EXPECT_EQ(WriteBootstrapPageIn(exe_, dir_ + "missing/"), "");
}

}  // namespace
