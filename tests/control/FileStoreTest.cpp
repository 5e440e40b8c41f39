// The allowed folders: what a page can and cannot reach.
#include <gtest/gtest.h>

#include <algorithm>

#include "TestFolders.h"
#include "control/base/ControlPaths.h"
#include "control/base/FileSystem.h"
#include "control/site/FileStore.h"

class FileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeFolders(m_root / "outside", 0700));
    ASSERT_TRUE(WriteFileBytes(m_root / "outside/secret.txt", "secret"));
  }
  std::string Default() const { return m_root / "files"; }
  FileStore Store(std::vector<std::string> extra = {}) const { return FileStore(Default(), std::move(extra)); }
  std::string RealDefault() const {
    std::string real;
    return RealPath(Default(), &real) ? real : "";
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
  const std::string system = SystemFilePath();
  for (const std::string& path : {std::string("../outside/secret.txt"), m_root / "outside/secret.txt",
                                  "../../../../../../" + system.substr(PathRootLength(system)), system}) {
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
  if (!MakeLink(m_root / "outside/secret.txt", Default() + "/link.txt")) GTEST_SKIP() << "no symbolic links here";
  ASSERT_TRUE(MakeLink(m_root / "outside", Default() + "/door"));
  ASSERT_TRUE(MakeLink(m_root / "outside/new.txt", Default() + "/dangling.txt"));
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
  ASSERT_TRUE(MakeLink(Default() + "/real.txt", Default() + "/alias.txt"));
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
  ScopedControlFolders folders(m_root.Path());
  const std::string config = ControlConfigPath();
  ASSERT_EQ(config.rfind(m_root.Path(), 0), 0u) << config;
  ASSERT_TRUE(MakeFolders(config.substr(0, config.rfind('/')), 0700));
  ASSERT_TRUE(WriteFileBytes(config, R"({"allowedFolders": ["~/outside"]})"));
  FileStore store = FileStore::FromEnvironment();
  std::string bytes, error;
  EXPECT_TRUE(store.Read(m_root / "outside/secret.txt", &bytes, &error)) << error;
  EXPECT_EQ(store.DefaultFolder(), folders.FilesFolder());
  // A broken file allows only the default folder.
  ASSERT_TRUE(WriteFileBytes(config, "{ not json"));
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
  std::vector<std::string> names = FolderNames(Default());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b"}));  // no temporary files left
  // A folder is not a file.
  std::string bytes;
  EXPECT_FALSE(store.Read("b", &bytes, &error));
  EXPECT_FALSE(store.Write("b", "x", &error));
  EXPECT_FALSE(store.Read("", &bytes, &error));
  EXPECT_FALSE(store.Read(std::string("a\0b", 3), &bytes, &error));
}

TEST(DecideRoom, WhatAWriteMayTake) {
  SiteQuota room;
  room.siteBytes = 1000;
  room.minFree = 100;
  room.siteEntries = 10;
  RoomNow now;
  now.freeKnown = true;
  now.freeBytes = 600;
  now.inSite = true;
  now.siteBytes = 400;
  now.siteEntries = 5;
  auto ask = [](uint64_t bytes, uint64_t replaced, size_t entries, uint64_t staged = 0) {
    return RoomAsk{bytes, replaced, entries, staged};
  };
  EXPECT_EQ(DecideRoom(room, now, ask(500, 0, 1)), RoomVerdict::Fits);
  EXPECT_EQ(DecideRoom(room, now, ask(501, 0, 1)), RoomVerdict::BelowFloor) << "600 free, 100 kept";
  EXPECT_EQ(DecideRoom(room, now, ask(800, 400, 0)), RoomVerdict::Fits) << "it grows by 400 of the 500 above the floor";
  now.freeBytes = 10000;
  EXPECT_EQ(DecideRoom(room, now, ask(601, 0, 1)), RoomVerdict::OverQuota);
  EXPECT_EQ(DecideRoom(room, now, ask(1000, 400, 0)), RoomVerdict::Fits) << "a replaced file does not count";
  // A staged temporary file is counted in the folder already; it becomes the file.
  EXPECT_EQ(DecideRoom(room, now, ask(300, 0, 0, 300)), RoomVerdict::Fits);
  now.siteBytes = 1100;  // it took the folder past its bound meanwhile
  EXPECT_EQ(DecideRoom(room, now, ask(300, 0, 0, 300)), RoomVerdict::OverQuota);
  now.siteBytes = 400;
  // Every folder a write creates counts against the entry bound.
  EXPECT_EQ(DecideRoom(room, now, ask(1, 0, 5)), RoomVerdict::Fits);
  EXPECT_EQ(DecideRoom(room, now, ask(1, 0, 6)), RoomVerdict::TooManyEntries);
  // A folder the walk could not count whole takes nothing, not even a replacement.
  now.counted = false;
  EXPECT_EQ(DecideRoom(room, now, ask(1, 1, 0)), RoomVerdict::Uncounted);
  // Outside the site's folder only the floor holds.
  now.inSite = false;
  EXPECT_EQ(DecideRoom(room, now, ask(5000, 0, 40)), RoomVerdict::Fits);
  now.freeBytes = 99;
  EXPECT_EQ(DecideRoom(room, now, ask(0, 0, 1)), RoomVerdict::BelowFloor);
}

// A write that makes folders, a path too deep, a folder past its entry bound.
TEST_F(FileStoreTest, EntriesAreCountedWithTheFoldersAWriteCreates) {
  SiteQuota room;
  room.siteEntries = 10;
  FileStore store(Default(), {}, {}, room);
  std::string error;
  EXPECT_FALSE(store.Write("a/b/c/d/e/f/g/h/i/j/k.txt", "x", &error)) << "10 folders and a file";
  EXPECT_EQ(error.rfind("no room", 0), 0u) << error;
  ASSERT_TRUE(store.Write("a/b/c/d/e/f/g/h/i.txt", "x", &error)) << error;
  std::string deep;
  for (int i = 0; i < 32; ++i) deep += "d/";
  FileStore roomy(Default(), {}, {}, SiteQuota());
  EXPECT_FALSE(roomy.Write(deep + "x.txt", "x", &error)) << "33 parts";
  EXPECT_NE(error.find("more than 32 parts"), std::string::npos) << error;
  EXPECT_TRUE(roomy.Write(deep.substr(2) + "x.txt", "x", &error)) << error;
  // 41 entries now, past the first store's bound: it cannot count them, so it writes nothing.
  EXPECT_FALSE(store.Write("a/b/c/d/e/f/g/h/i.txt", "y", &error));
  EXPECT_NE(error.find("cannot be counted"), std::string::npos) << error;
  EXPECT_EQ(ReadFileBytes(Default() + "/a/b/c/d/e/f/g/h/i.txt"), "x");
}
