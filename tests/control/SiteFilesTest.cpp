// Each site has its own files: relative paths land in the site's folder, no
// site reaches another's, folders in control.json go to the origins named
// with them, and the files of the shared folder stay readable by the sites
// the user names.
#include "ControlFixture.h"
#include "control/base/ControlPaths.h"
#include "control/site/SiteOrigin.h"

TEST(SiteFolderName, EveryOriginGetsAFolderOfItsOwn) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://shop.example", "https_shop.example"},
      {"http://127.0.0.1:8080", "http_127.0.0.1_8080"},
      {"http://[::1]:8080", "http_%5B%3A%3A1%5D_8080"},
      {"https://a_b.example", "https_a%5Fb.example"},
      {"file:", "file_"},
      {"", "_none"},
  };
  for (const auto& [origin, name] : cases) EXPECT_EQ(SiteFolderName(origin), name) << origin;
  // Names that could meet after a careless join stay apart.
  EXPECT_NE(SiteFolderName("https://a_8080"), SiteFolderName("https://a:8080"));
  std::string longHost = "https://" + std::string(300, 'x') + ".example";
  const std::string name = SiteFolderName(longHost);
  EXPECT_LE(name.size(), 200u);
  EXPECT_NE(name, SiteFolderName(longHost + "x"));
}

class SiteFilesTest : public ControlTest {
 protected:
  void As(const std::string& url) { ASSERT_EQ(control->setPageURL(Text(url).Get()), S_OK); }
  bool Write(const std::string& path, const std::string& text) {
    BOOL ok = FALSE;
    control->writeString(Text(path).Get(), Text(text).Get(), nullptr, &ok);
    return ok;
  }
  std::string Read(const std::string& path) {
    Bstr text;
    control->readString(Text(path).Get(), nullptr, &text);
    return text ? BstrToUtf8(text.Get()) : "<none>";
  }
  void Configure(const std::string& json) {
    ASSERT_TRUE(MakeFolders(m_folder / "config/kestrix", 0700));
    ASSERT_TRUE(WriteFileBytes(m_folder / "config/kestrix/control.json", json));
  }
  const std::string m_shop = SharedFolder() + "/https_shop.example";
  const std::string m_clinic = SharedFolder() + "/https_clinic.example";
};

TEST_F(SiteFilesTest, NoSiteReachesAnothersFiles) {
  As("https://shop.example/orders");
  ASSERT_TRUE(Write("labels/a.txt", "shop's"));
  EXPECT_EQ(ReadFileBytes(m_shop + "/labels/a.txt"), "shop's");
  As("https://clinic.example:443/");
  EXPECT_EQ(Read("labels/a.txt"), "<none>");
  EXPECT_EQ(Read(m_shop + "/labels/a.txt"), "<none>");
  EXPECT_EQ(Read("../https_shop.example/labels/a.txt"), "<none>");
  EXPECT_FALSE(Write(m_shop + "/labels/a.txt", "clinic's"));
  Bstr where;
  control->copied(Text(m_shop + "/labels/a.txt").Get(), &where);
  EXPECT_FALSE(where);
  ASSERT_TRUE(Write("labels/a.txt", "clinic's"));
  EXPECT_EQ(ReadFileBytes(m_clinic + "/labels/a.txt"), "clinic's");
  EXPECT_EQ(ReadFileBytes(m_shop + "/labels/a.txt"), "shop's");
  // Every spelling of the shop is the shop, and no spelling of it another site.
  for (const char* shop : {"https://SHOP.example/other", "https://%73hop.example/", "https://shop.example.:443/",
                           "https://shop.example\\@clinic.example/"}) {
    As(shop);
    EXPECT_EQ(Read("labels/a.txt"), "shop's") << shop;
  }
}

TEST_F(SiteFilesTest, ListedFoldersGoToTheOriginsNamedWithThem) {
  const std::string labels = m_folder / "labels", everyone = m_folder / "everyone";
  ASSERT_TRUE(MakeFolders(labels, 0700) && MakeFolders(everyone, 0700));
  ASSERT_TRUE(WriteFileBytes(labels + "/l.txt", "label") && WriteFileBytes(everyone + "/e.txt", "all"));
  Configure(R"({"allowedFolders": [")" + everyone + R"(", {"path": ")" + labels +
            R"(", "origins": ["https://Shop.example/"]}]})");
  As("https://shop.example/");
  EXPECT_EQ(Read(labels + "/l.txt"), "label");
  EXPECT_EQ(Read(everyone + "/e.txt"), "all");
  As("https://clinic.example/");
  EXPECT_EQ(Read(labels + "/l.txt"), "<none>");
  EXPECT_FALSE(Write(labels + "/planted.txt", "x"));
  EXPECT_EQ(Read(everyone + "/e.txt"), "all");
  ASSERT_TRUE(WaitMessages(2));
  EXPECT_EQ(LastMessageCode(), "pathRefused");
}

TEST_F(SiteFilesTest, FilesOfTheSharedFolderStayReadableByTheSitesNamed) {
  // What the shared folder held before this version: a new control finds it there.
  ASSERT_TRUE(MakeFolders(SharedFolder() + "/old", 0700));
  ASSERT_TRUE(WriteFileBytes(SharedFolder() + "/old/kept.txt", "kept") &&
              WriteFileBytes(SharedFolder() + "/top.txt", "top"));
  Configure(R"({"sharedFiles": ["https://shop.example"]})");
  As("https://clinic.example/");
  ASSERT_TRUE(Write("mine.txt", "clinic's"));  // the first site folder is made after the old files are noted
  EXPECT_EQ(Read("old/kept.txt"), "<none>");
  EXPECT_EQ(Read(SharedFolder() + "/top.txt"), "<none>");

  As("https://shop.example/");
  EXPECT_EQ(Read("old/kept.txt"), "kept");
  EXPECT_EQ(Read(SharedFolder() + "/top.txt"), "top");
  // Read only, and never the other sites' folders that now lie beside them.
  ASSERT_TRUE(Write("top.txt", "shop's own"));
  EXPECT_EQ(ReadFileBytes(SharedFolder() + "/top.txt"), "top");
  EXPECT_EQ(Read("top.txt"), "shop's own");
  EXPECT_FALSE(Write(SharedFolder() + "/old/kept.txt", "x"));
  EXPECT_EQ(Read(m_clinic + "/mine.txt"), "<none>");
  EXPECT_EQ(Read("../https_clinic.example/mine.txt"), "<none>");
  // A file put into the shared folder later is no shared file.
  ASSERT_TRUE(WriteFileBytes(SharedFolder() + "/later.txt", "later"));
  EXPECT_EQ(Read("later.txt"), "<none>");
}
