// The file and settings members through the control's interface, with the
// messages a listener gets when the page asks for something it may not have.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "ControlFixture.h"
#include "control/formats/Base64.h"
#include "control/base/ControlPaths.h"
#include "control/members/AutomationToJson.h"

TEST_F(ControlTest, TextRoundTripsInAnEncodingAndStaysInsideTheFolder) {
  BOOL ok = FALSE;
  ASSERT_EQ(control->writeString(Text("notes/a.txt").Get(), Text("caf\xC3\xA9").Get(), Text("ISO-8859-1").Get(), &ok), S_OK);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/notes/a.txt"), "caf\xE9");
  Bstr text;
  control->readString(Text("notes/a.txt").Get(), Text("latin1").Get(), &text);
  EXPECT_EQ(BstrToUtf8(text.Get()), "caf\xC3\xA9");
  // UTF-8 when no encoding is named.
  control->readString(Text(FilesFolder() + "/notes/a.txt").Get(), nullptr, &text);
  EXPECT_EQ(BstrToUtf8(text.Get()), "caf\xEF\xBF\xBD");
  EXPECT_TRUE(sink->events.empty());
}

TEST_F(ControlTest, RefusedPathsGiveEmptyResultsAndAMessage) {
  ASSERT_TRUE(WriteFileBytes(Outside() + "/private.txt", "private"));
  Bstr text;
  control->readString(Text(Outside() + "/private.txt").Get(), nullptr, &text);
  EXPECT_FALSE(text);
  BOOL ok = TRUE;
  control->writeString(Text("../../planted.txt").Get(), Text("x").Get(), nullptr, &ok);
  EXPECT_FALSE(ok);
  control->writeBase64(Text("/etc/kestrix-test").Get(), Text("eA==").Get(), &ok);
  EXPECT_FALSE(ok);
  control->readBase64(Text("/etc/passwd").Get(), &text);
  EXPECT_FALSE(text);
  // Messages come later, from the message loop, never inside the call.
  EXPECT_TRUE(sink->events.empty());
  ASSERT_TRUE(WaitMessages(4));
  for (const auto& message : sink->Of(DISPID_PRINTEREVENT_ONMESSAGE)) {
    EXPECT_EQ(message.args[0]["code"], "pathRefused");
    EXPECT_NE(message.args[0]["message"].asString().find("outside the allowed folders"), std::string::npos);
    EXPECT_EQ(message.thread, std::this_thread::get_id());
  }
  EXPECT_FALSE(FileExists(m_folder / "planted.txt"));
}

TEST_F(ControlTest, Base64RoundTripsBinaryFiles) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  BOOL ok = FALSE;
  control->writeBase64(Text("bin/all.bin").Get(), Text(Base64Encode(bytes)).Get(), &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/bin/all.bin"), bytes);
  Bstr text;
  control->readBase64(Text("bin/all.bin").Get(), &text);
  EXPECT_EQ(BstrToUtf8(text.Get()), Base64Encode(bytes));
  // A data: address is accepted; broken base64 is not written.
  control->writeBase64(Text("bin/dot.png").Get(), Text("data:image/png;base64,iVBORw0K").Get(), &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/bin/dot.png"), "\x89PNG\r\n");
  control->writeBase64(Text("bin/broken.bin").Get(), Text("not base64!").Get(), &ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(FileExists(FilesFolder() + "/bin/broken.bin"));
}

TEST_F(ControlTest, CopyAndCopiedStayInside) {
  BOOL ok = FALSE;
  control->writeString(Text("a.txt").Get(), Text("payload").Get(), nullptr, &ok);
  ASSERT_TRUE(ok);
  control->copy(Text("a.txt").Get(), Text("sub/b.txt").Get());
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/sub/b.txt"), "payload");
  Bstr where;
  control->copied(Text("sub/b.txt").Get(), &where);
  EXPECT_EQ(BstrToUtf8(where.Get()).substr(BstrToUtf8(where.Get()).size() - 10), "/sub/b.txt");
  control->copy(Text("a.txt").Get(), Text(Outside() + "/stolen.txt").Get());
  EXPECT_FALSE(FileExists(Outside() + "/stolen.txt"));
  control->copied(Text("/etc/passwd").Get(), &where);
  EXPECT_FALSE(where);
  ASSERT_TRUE(WaitMessages(1));
  EXPECT_EQ(LastMessageCode(), "pathRefused");
}

// A page cannot fill the disk: its own folder has a size and an entry bound,
// streams are held to it as they grow, and every write keeps a floor free.
TEST_F(ControlTest, DiskIsBoundedPerSite) {
  const std::string listed = Outside() + "/listed";
  std::filesystem::create_directories(listed);
  std::filesystem::create_directories(Outside() + "/config/kestrix");
  ASSERT_TRUE(WriteFileBytes(Outside() + "/config/kestrix/control.json",
                             R"({"siteQuotaMiB": 1, "allowedFolders": [")" + listed + R"("]})"));
  auto write = [&](const std::string& path, size_t kib) {
    BOOL ok = FALSE;
    control->writeBase64(Text(path).Get(), Text(Base64Encode(std::string(kib << 10, 'k'))).Get(), &ok);
    return ok == TRUE;
  };
  EXPECT_TRUE(write("a.bin", 600));
  EXPECT_FALSE(write("b.bin", 600));
  EXPECT_TRUE(write("a.bin", 900));  // replaces: only the growth counts
  ASSERT_TRUE(WaitMessages(1));
  EXPECT_EQ(LastMessageCode(), "noRoom");
  // A folder the user listed has no site bound, and is a source for what follows.
  EXPECT_TRUE(write(listed + "/big.bin", 3072));
  control->copy(Text(listed + "/big.bin").Get(), Text("copy.bin").Get());
  BOOL ok = FALSE;
  control->download(Text("file://" + listed + "/big.bin").Get(), Text("got.bin").Get(), &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "error");
  EXPECT_FALSE(FileExists(FilesFolder() + "/copy.bin"));
  EXPECT_FALSE(FileExists(FilesFolder() + "/got.bin"));
  // A download smaller than the step between its checks is still held to the room at its whole size.
  EXPECT_TRUE(write(listed + "/mid.bin", 200));
  sink->events.clear();
  control->download(Text("file://" + listed + "/mid.bin").Get(), Text("mid.bin").Get(), &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "error") << "900 KiB and 200 KiB in a folder of 1 MiB";
  EXPECT_FALSE(FileExists(FilesFolder() + "/mid.bin"));
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(FilesFolder())) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1u) << "a partial file was left behind";

  // The entry bound: a full folder (a.bin and 9,999 more) takes no new file but still replaces one.
  ASSERT_TRUE(WriteFileBytes(Outside() + "/config/kestrix/control.json", "{}"));
  for (int i = 0; i < 9999; ++i) ASSERT_TRUE(WriteFileBytes(FilesFolder() + "/n" + std::to_string(i), ""));
  EXPECT_FALSE(write("new.bin", 1));
  EXPECT_TRUE(write("n7", 1));
  // Nor does a download make the folders of a path it has no room for.
  BOOL started = FALSE;
  control->download(Text("http://127.0.0.1:9/x").Get(), Text("d1/d2/d3/got.bin").Get(), &started);
  EXPECT_FALSE(started);
  EXPECT_FALSE(std::filesystem::exists(FilesFolder() + "/d1"));
  // The floor: no write that would leave the disk with less than it free.
  ASSERT_TRUE(WriteFileBytes(Outside() + "/config/kestrix/control.json", R"({"minFreeMiB": 1048576})"));
  EXPECT_FALSE(write("n8", 1));
  EXPECT_TRUE(PumpUntil([&] { return LastMessageText().find("free") != std::string::npos; }, 10000))
      << LastMessageText();
}

// Documents the jobs write count against the site's room at their real size,
// however many jobs run at once; so does a workbook.
TEST_F(ControlTest, JobOutputsAndWorkbooksStayInsideTheSitesRoom) {
  std::filesystem::create_directories(Outside() + "/config/kestrix");
  ASSERT_TRUE(WriteFileBytes(Outside() + "/config/kestrix/control.json", R"({"siteQuotaMiB": 1})"));
  Json::Value job;
  job["data"] = Base64Encode("%PDF-1.4\n" + std::string(600 << 10, ' '));
  job["type"] = "application/pdf";
  for (const char* name : {"a.pdf", "b.pdf", "c.pdf"}) {
    BOOL started = FALSE;
    control->printToPDF(Job(job).Get(), Text(name).Get(), &started);
    EXPECT_TRUE(started) << name << ": the folder has room for an empty file";
  }
  ASSERT_TRUE(PumpUntil([&] { return sink->Of(DISPID_PRINTEREVENT_ONDONE).size() == 3; }, 60000));
  size_t written = 0;
  for (const auto& done : sink->Of(DISPID_PRINTEREVENT_ONDONE)) {
    if (done.args[0] == "success") ++written;
    else EXPECT_EQ(done.args[1]["message"].asString().rfind("no room", 0), 0u) << done.args[1];
  }
  EXPECT_EQ(written, 1u) << "two outputs of 600 KiB in a folder of 1 MiB";
  EXPECT_EQ(LastMessageCode(), "noRoom");
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(FilesFolder())) left.push_back(e.path().filename());
  EXPECT_EQ(left.size(), 1u) << "a refused output or its temporary file was left behind";

  sink->events.clear();
  BOOL ok = FALSE;
  control->writeBase64(Text("filler.bin").Get(), Text(Base64Encode(std::string(420 << 10, 'f'))).Get(), &ok);
  ASSERT_TRUE(ok);
  Variant table = Variant::FromString(u"<table><tr><td>1</td></tr></table>");
  control->exportAsExcel(&table, Text("t.xlsx").Get(), VARIANT_FALSE, &ok);
  EXPECT_TRUE(ok) << "4 KiB are left when it starts";
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "error");
  EXPECT_EQ(LastMessageCode(), "noRoom");
  EXPECT_FALSE(FileExists(FilesFolder() + "/t.xlsx"));
  EXPECT_FALSE(FileExists(FilesFolder() + "/.t.xlsx.part"));
}

TEST_F(ControlTest, AFifoInsideTheFolderIsRefusedWithoutWaiting) {
  ASSERT_TRUE(MakeFolders(FilesFolder(), 0700));
  const std::string fifo = FilesFolder() + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Should a member wait on the FIFO after all, a writer frees it after the
  // deadline, and the test fails instead of hanging.
  std::atomic<bool> finished{false}, rescued{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !finished; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    while (!finished) {
      int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) {
        rescued = true;
        close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  Bstr text;
  BOOL ok = TRUE;
  control->readString(Text("pipe").Get(), nullptr, &text);
  control->readHTML(Text("pipe").Get(), nullptr, &text);
  control->readBase64(Text("pipe").Get(), &text);
  control->copy(Text("pipe").Get(), Text("copy.txt").Get());
  control->writeString(Text("pipe").Get(), Text("x").Get(), nullptr, &ok);
  control->openFile(Text("pipe").Get());
  finished = true;
  watchdog.join();
  EXPECT_FALSE(rescued);
  EXPECT_FALSE(text);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(FileExists(FilesFolder() + "/copy.txt"));
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_TRUE(WaitMessages(6));
  for (const auto& message : sink->Of(DISPID_PRINTEREVENT_ONMESSAGE))
    EXPECT_NE(message.args[0]["message"].asString().find("not a regular file"), std::string::npos)
        << message.args[0]["message"].asString();
}

TEST_F(ControlTest, ReadHtmlFollowsTheDeclaredCharset) {
  ASSERT_TRUE(MakeFolders(FilesFolder(), 0700));
  ASSERT_TRUE(WriteFileBytes(FilesFolder() + "/page.html", "<meta charset=\"iso-8859-1\"><p>d\xE9j\xE0</p>"));
  Bstr text;
  control->readHTML(Text("page.html").Get(), nullptr, &text);
  EXPECT_EQ(BstrToUtf8(text.Get()), "<meta charset=\"iso-8859-1\"><p>d\xC3\xA9j\xC3\xA0</p>");
}

TEST_F(ControlTest, DownloadFetchesFileAddressesInsideAndRefusesOthers) {
  BOOL ok = FALSE;
  control->writeString(Text("source.txt").Get(), Text("downloaded bytes").Get(), nullptr, &ok);
  ASSERT_TRUE(ok);
  control->download(Text("file://" + FilesFolder() + "/source.txt").Get(), Text("got/copy.txt").Get(), &ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(WaitDone());
  EXPECT_EQ(sink->DoneText(), "success");
  EXPECT_EQ(sink->DoneObject()["type"], "download");
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/got/copy.txt"), "downloaded bytes");

  sink->events.clear();
  control->download(Text("file:///etc/passwd").Get(), Text("got/passwd").Get(), &ok);
  EXPECT_FALSE(ok);
  control->download(Text("gopher://example.test/").Get(), Text("got/x").Get(), &ok);
  EXPECT_FALSE(ok);
  ASSERT_TRUE(WaitMessages(2));
  EXPECT_FALSE(FileExists(FilesFolder() + "/got/passwd"));
}

TEST_F(ControlTest, SettingsRoundTripPerKeyAndClear) {
  // A page on this machine: its settings are kept in the one shared file.
  control->setPageURL(Text("http://localhost/labels.html").Get());
  Json::Value settings;
  settings["printer"] = "kx-pdf";
  settings["paper"]["name"] = "A5";
  settings["copies"] = 2;
  settings["ranges"].append(1);
  settings["ranges"].append(3);
  Variant value;
  JsonToResultVariant(settings, &value);
  control->setLastSettings(Text("labels").Get(), &value);
  Variant other = Variant::FromString(u"plain text");
  control->setLastSettings(Text("other").Get(), &other);

  Variant back;
  control->getLastSettings(Text("labels").Get(), &back);
  EXPECT_EQ(VariantToJsonValue(back), settings);
  // On disk: one JSON object, keyed.
  Json::Value file;
  ASSERT_TRUE(Json::Reader().parse(ReadFileBytes(m_folder / "data/kestrix/settings.json"), file));
  EXPECT_EQ(file["other"], "plain text");

  control->clearLastSettings(Text("labels").Get());
  control->getLastSettings(Text("labels").Get(), &back);
  EXPECT_EQ(back.vt, VT_EMPTY);
  control->getLastSettings(Text("other").Get(), &back);
  EXPECT_EQ(VariantToJsonValue(back), "plain text");
  control->clearLastSettings(Text("").Get());
  control->getLastSettings(Text("other").Get(), &back);
  EXPECT_EQ(back.vt, VT_EMPTY);
}

TEST_F(ControlTest, NoSiteReadsOrClearsAnothersSettings) {
  Variant mine = Variant::FromString(u"shop printer");
  control->setPageURL(Text("https://shop.test/till").Get());
  control->setLastSettings(Text("printer").Get(), &mine);
  Variant back;
  control->setPageURL(Text("https://other.test/").Get());
  control->getLastSettings(Text("printer").Get(), &back);
  EXPECT_EQ(back.vt, VT_EMPTY);
  control->clearLastSettings(Text("").Get());
  control->setPageURL(Text("HTTPS://shop.test:443/other").Get());
  control->getLastSettings(Text("printer").Get(), &back);
  EXPECT_EQ(VariantToJsonValue(back), "shop printer");
}

TEST_F(ControlTest, ASettingTooLargeToReadBackIsRefusedAndTheOthersStay) {
  Json::Value kept;
  kept["width"] = 62;
  kept["length"] = 3;  // an ordinary member, not an array's length
  Variant value;
  JsonToResultVariant(kept, &value);
  control->setLastSettings(Text("label").Get(), &value);
  // The page's site keeps its settings in a file of its own: the one file there.
  std::string path;
  for (const auto& entry : std::filesystem::directory_iterator(m_folder / "data/kestrix/settings")) path = entry.path();
  const std::string before = ReadFileBytes(path);
  ASSERT_NE(before.find("\"width\""), std::string::npos) << path;
  // Larger than the file that is read back, on its own and together with the rest.
  for (size_t size : {size_t(17) << 20, (size_t(16) << 20) - 20}) {
    Variant big = Variant::FromString(std::u16string(size, u'x'));
    control->setLastSettings(Text("big").Get(), &big);
    ASSERT_TRUE(WaitMessages(1));
    EXPECT_EQ(LastMessageCode(), "settingsTooLarge");
    sink->events.clear();
    EXPECT_EQ(ReadFileBytes(path), before);
  }
  Variant other = Variant::FromLong(7);
  control->setLastSettings(Text("copies").Get(), &other);
  Variant back;
  control->getLastSettings(Text("label").Get(), &back);
  EXPECT_EQ(VariantToJsonValue(back), kept);
  control->getLastSettings(Text("copies").Get(), &back);
  EXPECT_EQ(VariantToJsonValue(back), 7);
}

TEST_F(ControlTest, BrokenSettingsFileReadsAsEmptyAndIsReplaced) {
  ASSERT_TRUE(MakeFolders(m_folder / "data/kestrix", 0700));
  ASSERT_TRUE(WriteFileBytes(m_folder / "data/kestrix/settings.json", "{ broken"));
  Variant back;
  control->getLastSettings(Text("k").Get(), &back);
  EXPECT_EQ(back.vt, VT_EMPTY);
  Variant v = Variant::FromLong(5);
  control->setLastSettings(Text("k").Get(), &v);
  control->getLastSettings(Text("k").Get(), &back);
  EXPECT_EQ(VariantToJsonValue(back), 5);
}
