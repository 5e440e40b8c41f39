// The allowed folders: what a page can and cannot reach.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include "ControlTestSupport.h"
#include "control/ControlPaths.h"
#include "control/FileStore.h"

class FileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeFolders(m_root / "outside", 0700));
    ASSERT_TRUE(WriteFileBytes(m_root / "outside/secret.txt", "secret"));
  }
  std::string Default() const { return m_root / "files"; }
  FileStore Store(std::vector<std::string> extra = {}) const { return FileStore(Default(), std::move(extra)); }
  std::string RealDefault() const {
    char buffer[4096];
    return realpath(Default().c_str(), buffer) ? buffer : "";
  }

  TempFolder m_root;
};

TEST(NormalizePath, FoldsDotsAndSlashes) {
  EXPECT_EQ(NormalizePath("/a/./b//c/../d"), "/a/b/d");
  EXPECT_EQ(NormalizePath("/../../x"), "/x");
  EXPECT_EQ(NormalizePath("/"), "/");
  EXPECT_EQ(NormalizePath("/a/b/.."), "/a");
}

TEST_F(FileStoreTest, RelativePathsLandInTheDefaultFolderCreatedOnFirstUse) {
  FileStore store = Store();
  EXPECT_FALSE(FileExists(Default()));
  std::string real, error;
  ASSERT_TRUE(store.Resolve("labels/a.txt", FileStore::Access::Write, &real, &error)) << error;
  EXPECT_TRUE(FileExists(Default()));
  EXPECT_EQ(real, RealDefault() + "/labels/a.txt");
  ASSERT_TRUE(store.Write("labels/a.txt", "one", &error)) << error;
  EXPECT_EQ(ReadFileBytes(Default() + "/labels/a.txt"), "one");
  std::string bytes;
  ASSERT_TRUE(store.Read(Default() + "/labels/../labels/a.txt", &bytes, &error)) << error;
  EXPECT_EQ(bytes, "one");
}

TEST_F(FileStoreTest, DotDotAndAbsolutePathsOutsideAreRefused) {
  FileStore store = Store();
  std::string real, error, bytes;
  for (const std::string& path : {std::string("../outside/secret.txt"), m_root / "outside/secret.txt",
                                  std::string("../../../../../../etc/passwd"), std::string("/etc/passwd")}) {
    EXPECT_FALSE(store.Read(path, &bytes, &error)) << path;
    EXPECT_NE(error.find("outside the allowed folders"), std::string::npos) << error;
    EXPECT_FALSE(store.Write(path, "x", &error)) << path;
  }
  EXPECT_EQ(ReadFileBytes(m_root / "outside/secret.txt"), "secret");
  EXPECT_FALSE(store.Resolve(Default() + "/../files-elsewhere/x", FileStore::Access::Write, &real, &error));
}

TEST_F(FileStoreTest, SymbolicLinksCannotLeadOut) {
  FileStore store = Store();
  ASSERT_TRUE(MakeFolders(Default(), 0700));
  ASSERT_EQ(symlink((m_root / "outside/secret.txt").c_str(), (Default() + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink((m_root / "outside").c_str(), (Default() + "/door").c_str()), 0);
  ASSERT_EQ(symlink((m_root / "outside/new.txt").c_str(), (Default() + "/dangling.txt").c_str()), 0);
  std::string bytes, error;
  EXPECT_FALSE(store.Read("link.txt", &bytes, &error));
  EXPECT_FALSE(store.Read("door/secret.txt", &bytes, &error));
  EXPECT_FALSE(store.Write("door/planted.txt", "x", &error));
  EXPECT_FALSE(store.Write("dangling.txt", "x", &error));
  EXPECT_FALSE(store.Write("link.txt", "overwritten", &error));
  EXPECT_FALSE(FileExists(m_root / "outside/planted.txt"));
  EXPECT_FALSE(FileExists(m_root / "outside/new.txt"));
  EXPECT_EQ(ReadFileBytes(m_root / "outside/secret.txt"), "secret");
  // A link that stays inside is fine.
  ASSERT_TRUE(store.Write("real.txt", "inside", &error)) << error;
  ASSERT_EQ(symlink((Default() + "/real.txt").c_str(), (Default() + "/alias.txt").c_str()), 0);
  ASSERT_TRUE(store.Read("alias.txt", &bytes, &error)) << error;
  EXPECT_EQ(bytes, "inside");
}

TEST_F(FileStoreTest, FoldersListedByTheUserAreAllowedToo) {
  FileStore store = Store({m_root / "outside", m_root / "missing"});
  std::string bytes, error;
  ASSERT_TRUE(store.Read(m_root / "outside/secret.txt", &bytes, &error)) << error;
  EXPECT_EQ(bytes, "secret");
  EXPECT_EQ(store.Roots().size(), 2u);  // the missing folder is skipped
  // A folder that merely starts with the same letters is not inside.
  ASSERT_TRUE(MakeFolders(m_root / "outside-not", 0700));
  EXPECT_FALSE(store.Write(m_root / "outside-not/x.txt", "x", &error));
}

TEST_F(FileStoreTest, ConfigurationFileNamesTheFolders) {
  ScopedEnv data("XDG_DATA_HOME", m_root / "data");
  ScopedEnv config("XDG_CONFIG_HOME", m_root / "config");
  ScopedEnv home("HOME", m_root.Path());
  ASSERT_TRUE(MakeFolders(m_root / "config/kestrix", 0700));
  ASSERT_TRUE(WriteFileBytes(m_root / "config/kestrix/control.json", R"({"allowedFolders": ["~/outside"]})"));
  FileStore store = FileStore::FromEnvironment();
  std::string bytes, error;
  EXPECT_TRUE(store.Read(m_root / "outside/secret.txt", &bytes, &error)) << error;
  EXPECT_EQ(store.DefaultFolder(), m_root / "data/kestrix/files");
  // A broken file allows only the default folder.
  ASSERT_TRUE(WriteFileBytes(m_root / "config/kestrix/control.json", "{ not json"));
  EXPECT_FALSE(FileStore::FromEnvironment().Read(m_root / "outside/secret.txt", &bytes, &error));
}

TEST_F(FileStoreTest, WritesAreAtomicAndLeaveNothingBehind) {
  FileStore store = Store();
  std::string error;
  ASSERT_TRUE(store.Write("a.txt", "first", &error));
  ASSERT_TRUE(store.Write("a.txt", "second", &error));
  EXPECT_EQ(ReadFileBytes(Default() + "/a.txt"), "second");
  ASSERT_TRUE(store.Copy("a.txt", "b/c.txt", &error)) << error;
  EXPECT_EQ(ReadFileBytes(Default() + "/b/c.txt"), "second");
  EXPECT_EQ(store.Locate("b/c.txt"), RealDefault() + "/b/c.txt");
  EXPECT_EQ(store.Locate("b/none.txt"), "");
  EXPECT_EQ(store.Locate(m_root / "outside/secret.txt"), "");
  std::vector<std::string> names;
  if (DIR* dir = opendir(Default().c_str())) {
    while (dirent* entry = readdir(dir))
      if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b"}));  // no temporary files left
  // A folder is not a file.
  std::string bytes;
  EXPECT_FALSE(store.Read("b", &bytes, &error));
  EXPECT_FALSE(store.Write("b", "x", &error));
  EXPECT_FALSE(store.Read("", &bytes, &error));
  EXPECT_FALSE(store.Read(std::string("a\0b", 3), &bytes, &error));
}
