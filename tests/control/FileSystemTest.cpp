// The file system as the site rules use it, on each platform: what a writer
// holds, and the lock that keeps two writers of one site's folder apart.
#include <gtest/gtest.h>

#include "TestFolders.h"
#include "control/base/FileSystem.h"

TEST(FileSystem, AFileBeingWrittenStaysAndOneLeftBehindIsRemoved) {
  TempFolder folder;
  NewFile held;
  ASSERT_TRUE(held.Create(folder.Path(), ".a.", 0644, ".part"));
  ASSERT_TRUE(held.Write("abc", 3));
  EXPECT_FALSE(RemoveIfUnheld(held.Path()));
  EXPECT_TRUE(FileExists(held.Path()));
  std::string left;
  {
    NewFile ended;
    ASSERT_TRUE(ended.Create(folder.Path(), ".b.", 0644, ".part"));
    left = ended.Path();
    ended.Keep();  // its writer ends without finishing it
  }
  EXPECT_TRUE(RemoveIfUnheld(left));
  EXPECT_FALSE(FileExists(left));
  ASSERT_TRUE(MakeFolder(folder / "c.part", 0700));
  EXPECT_FALSE(RemoveIfUnheld(folder / "c.part")) << "a folder is no leftover";
  ASSERT_TRUE(held.Finish());
  EXPECT_EQ(ReadFileBytes(held.Path()), "abc");
}

TEST(FileSystem, AFolderLockKeepsTheNextHolderOutUntilItGoes) {
  TempFolder folder;
  {
    FolderLock first(folder.Path(), 5);
    ASSERT_FALSE(first.Busy());
    FolderLock second(folder.Path(), 0);
    EXPECT_TRUE(second.Busy());
  }
  FolderLock again(folder.Path(), 0);
  EXPECT_FALSE(again.Busy());
  EXPECT_FALSE(FolderLock(folder / "missing", 0).Busy()) << "no folder, nothing to guard";
}
