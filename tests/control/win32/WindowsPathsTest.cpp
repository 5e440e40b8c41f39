// What only Windows reads into a path: streams, device names, dropped dots,
// drive letters and the disk's own spelling of a name.
#include <gtest/gtest.h>

#include "TestFolders.h"
#include "control/base/FileSystem.h"
#include "control/site/FileStore.h"

TEST(WindowsPaths, NamesTheSystemReadsAsSomethingElseAreRefused) {
  TempFolder root;
  FileStore store(root / "files", {});
  std::string error;
  for (const char* name : {"a.txt:hidden", "NUL", "com1.txt", "sub/aux", "dots.", "space ", "x*.txt", "a\\b:c"}) {
    EXPECT_FALSE(store.Write(name, "x", &error)) << name;
    EXPECT_NE(error.find("names something else"), std::string::npos) << name << ": " << error;
  }
  EXPECT_EQ(FolderNames(root / "files"), std::vector<std::string>{}) << "nothing was written";
  ASSERT_TRUE(store.Write("sub\\ok.txt", "y", &error)) << error;
  EXPECT_EQ(ReadFileBytes(root / "files/sub/ok.txt"), "y");
}

TEST(WindowsPaths, RealPathsHaveTheDrivesRootAndTheDisksSpelling) {
  TempFolder root;
  ASSERT_TRUE(WriteFileBytes(root / "Mixed Case.txt", "z"));
  std::string real, expected;
  ASSERT_TRUE(RealPath(root.Path(), &expected));
  ASSERT_TRUE(RealPath(root / "sub/../mixed case.TXT", &real));
  EXPECT_EQ(real, expected + "/Mixed Case.txt");
  EXPECT_EQ(PathRootLength(real), 3u);
  EXPECT_FALSE(RealPath(root / "missing.txt", &real));
  // A page's spelling reaches the same file, inside its folder.
  FileStore store(root.Path(), {});
  std::string bytes, error;
  ASSERT_TRUE(store.Read("MIXED case.txt", &bytes, &error)) << error;
  EXPECT_EQ(bytes, "z");
}
