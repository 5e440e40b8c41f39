// "download" against servers on 127.0.0.1: what it may reach, what it opens,
// and what it leaves behind.
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include "ControlFixture.h"
#include "LoopbackServer.h"
#include "control/base/ControlPaths.h"
#include "control/site/Downloader.h"

class DownloadTest : public ControlTest {
 protected:
  // Starts a download and waits for its OnDone; returns its status text.
  std::string Download(const std::string& url, const std::string& path) {
    sink->events.clear();
    BOOL ok = FALSE;
    control->download(Text(url).Get(), Text(path).Get(), &ok);
    if (!ok) return "not started";
    if (!WaitDone()) return "no OnDone";
    return sink->DoneText();
  }
  // The names in a site's folder (not below it).
  std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
      while (dirent* e = readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(DownloadTest, FileAddressesOpenExactlyThePathChecked) {
  // A decoy inside the folder whose name, decoded once more, leads out of it.
  std::string depth;
  const std::string folder = FilesFolder();
  for (auto i = std::count(folder.begin(), folder.end(), '/'); i > 0; --i) depth += "%2e%2e/";
  BOOL ok = FALSE;
  control->writeString(Text(depth + "etc/passwd").Get(), Text("decoy").Get(), nullptr, &ok);
  ASSERT_TRUE(ok);
  std::string twice = depth;
  for (size_t at = 0; (at = twice.find('%', at)) != std::string::npos; at += 3) twice.replace(at, 1, "%25");
  EXPECT_EQ(Download("file:" + twice + "etc/passwd", "loot.txt"), "success") << sink->DoneObject()["message"];
  EXPECT_EQ(ReadFileBytes(FilesFolder() + "/loot.txt"), "decoy");

  // A FIFO is not waited on (refused when checked, or when opened); nothing is copied.
  ASSERT_EQ(mkfifo((FilesFolder() + "/fifo").c_str(), 0600), 0);
  EXPECT_NE(Download("file://" + FilesFolder() + "/fifo", "fifo-copy"), "success");
  EXPECT_FALSE(FileExists(FilesFolder() + "/fifo-copy"));
}

TEST_F(DownloadTest, LoopbackServicesAreRefusedButThePagesOwnOrigin) {
  LoopbackServer server, other;
  LoopbackServer::Answer secret;
  secret.body = "secret";
  server.Serve("/secret", secret);
  other.Serve("/secret", secret);
  LoopbackServer::Answer away;
  away.head = "HTTP/1.1 302 Found\r\nLocation: " + other.Url("/secret") + "\r\n";
  server.Serve("/away", away);
  for (const std::string& url : {server.Url("/secret"), "http://localhost:" + std::to_string(server.Port()) + "/secret"}) {
    EXPECT_EQ(Download(url, "secret.txt"), "error") << url;
    EXPECT_EQ(LastMessageCode(), "networkRefused") << LastMessageText();
    EXPECT_NE(LastMessageText().find("loopback"), std::string::npos) << LastMessageText();
  }
  EXPECT_TRUE(server.Requests().empty());

  control->setPageURL(Text(server.Url("/index.html")).Get());
  EXPECT_EQ(Download(server.Url("/secret"), "secret.txt"), "success") << sink->DoneObject()["message"];
  const std::string site = SiteFolder(server.Url("/"));
  EXPECT_EQ(ReadFileBytes(site + "/secret.txt"), "secret");
  EXPECT_EQ(sink->DoneObject()["bytes"], 6);
  // A redirect to another port of the machine is checked again.
  EXPECT_EQ(Download(server.Url("/away"), "away.txt"), "error");
  EXPECT_EQ(LastMessageCode(), "networkRefused");
  EXPECT_TRUE(other.Requests().empty());
  EXPECT_EQ(Names(site), std::vector<std::string>{"secret.txt"});
  // Failures say what failed.
  EXPECT_EQ(Download(server.Url("/missing"), "missing.txt"), "error");
  EXPECT_NE(sink->DoneObject()["message"].asString().find("answered 404"), std::string::npos)
      << sink->DoneObject()["message"];
}

TEST_F(DownloadTest, TwoDownloadsToOneTargetEachWriteTheirOwnBytes) {
  LoopbackServer server;
  control->setPageURL(Text(server.Url("/")).Get());
  LoopbackServer::Answer a, b;
  a.body.assign(1 << 20, 'a');
  b.body.assign(1 << 20, 'b');
  a.pieceDelayMs = b.pieceDelayMs = 5;
  b.chunked = true;
  server.Serve("/a", a);
  server.Serve("/b", b);
  BOOL ok[2] = {};
  control->download(Text(server.Url("/a")).Get(), Text("same.bin").Get(), &ok[0]);
  control->download(Text(server.Url("/b")).Get(), Text("same.bin").Get(), &ok[1]);
  ASSERT_TRUE(ok[0] && ok[1]);
  ASSERT_TRUE(PumpUntil([&] { return sink->Of(DISPID_PRINTEREVENT_ONDONE).size() >= 2; }));
  for (const auto& done : sink->Of(DISPID_PRINTEREVENT_ONDONE)) {
    EXPECT_EQ(done.args[0], "success") << done.args[1]["message"];
    EXPECT_EQ(done.args[1]["bytes"], 1 << 20);
  }
  const std::string bytes = ReadFileBytes(SiteFolder(server.Url("/")) + "/same.bin");
  EXPECT_TRUE(bytes == a.body || bytes == b.body) << "a mix of both downloads";
  EXPECT_EQ(Names(SiteFolder(server.Url("/"))), std::vector<std::string>{"same.bin"});
}

TEST_F(DownloadTest, StreamedRepliesStopAtTheCapAndLeaveNothing) {
  LoopbackServer server;
  LoopbackServer::Answer big;
  big.body.assign(300000, 'x');
  big.chunked = true;  // no length announced: only counting the bytes can stop it
  server.Serve("/big", big);
  auto queue = std::make_shared<JobEventQueue>(nullptr, 0);
  DownloadRequest request;
  request.url = server.Url("/big");
  request.target = FilesFolder() + "/big.bin";
  request.network = NetworkPolicy(WebOrigin::Parse(server.Origin()), Json::Value());
  request.maxBytes = 100000;
  std::string error;
  ASSERT_TRUE(MakeFolders(FilesFolder()));
  ASSERT_TRUE(StartDownload(request, queue, &error)) << error;
  std::deque<Json::Value> lines;
  ASSERT_TRUE(PumpUntil([&] {
    for (auto& line : queue->TakeAll()) lines.push_back(line);
    return !lines.empty() && lines.back()["kind"] == "done";
  }));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["message"]["code"], "tooLarge");
  EXPECT_EQ(lines[1]["status"], "error");
  EXPECT_NE(lines[1]["result"]["message"].asString().find("limit of 100000 bytes"), std::string::npos)
      << lines[1]["result"]["message"];
  EXPECT_TRUE(Names(FilesFolder()).empty());
}

TEST_F(DownloadTest, LeftoversOfEndedDownloadsAreSweptButNotOnesBeingWritten) {
  ASSERT_TRUE(MakeFolders(FilesFolder() + "/sub"));
  const std::string stale = FilesFolder() + "/sub/.a.bin.x1y2z3.kxdownload";
  const std::string busy = FilesFolder() + "/.b.bin.q1w2e3.kxdownload";
  const std::string mine = FilesFolder() + "/notes.kxdownload.txt";
  // Locked before it carries a leftover's name (the control's own sweep at
  // start-up may run while the test sets up), as a download's own file is.
  const std::string unnamed = FilesFolder() + "/busy.tmp";
  int fd = open(unnamed.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  ASSERT_EQ(rename(unnamed.c_str(), busy.c_str()), 0);
  for (const auto& path : {stale, mine}) ASSERT_TRUE(WriteFileBytes(path, "part"));
  SweepDownloadLeftovers({FilesFolder()});
  close(fd);
  EXPECT_FALSE(FileExists(stale));
  EXPECT_TRUE(FileExists(busy));
  EXPECT_TRUE(FileExists(mine));
}
