// What a rendered page may reach and leave behind, and how many jobs run at
// once, against servers on 127.0.0.1 (the loopback services a page must not
// read) and the real job process with Chromium.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ControlFixture.h"
#include "LoopbackServer.h"
#include "control/render/ChromiumRenderer.h"
#include "control/base/ControlPaths.h"

namespace {
// Every file below folder (recursively), as paths relative to it; the
// private folder with the user's job places is left out.
void ListFiles(const std::string& folder, const std::string& prefix, std::vector<std::string>* out) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == ".." || name.rfind("kestrix-", 0) == 0) continue;  // the user's job places
    if (entry->d_type == DT_DIR) ListFiles(folder + "/" + name, prefix + name + "/", out);
    else out->push_back(prefix + name);
  }
  closedir(dir);
}
}  // namespace

class NetworkTest : public ControlTest {
 protected:
  void SetUp() override {
    if (ChromiumRenderer::Find().empty()) GTEST_SKIP() << "chromium is not installed";
    ControlTest::SetUp();
    LoopbackServer::Answer secret;
    secret.head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
    secret.body = "loopback secret";
    server.Serve("/secret", secret);
  }
  // Runs a printToPDF job and waits for its OnDone; returns its status text.
  std::string RenderPdf(const Json::Value& job, const std::string& path) {
    sink->events.clear();
    BOOL started = FALSE;
    control->printToPDF(Job(job).Get(), Text(path).Get(), &started);
    if (!WaitDone(120000)) return "no OnDone";
    return sink->DoneText();
  }
  void WriteControlJson(const std::string& text) {
    ASSERT_TRUE(MakeFolders(m_folder / "config/kestrix"));
    ASSERT_TRUE(WriteFileBytes(m_folder / "config/kestrix/control.json", text));
  }
  LoopbackServer server;
};

TEST_F(NetworkTest, RenderingReachesNoLocalServiceButThePagesOwnOrigin) {
  // A url job on a loopback service, by address and by a name that resolves to it.
  Json::Value job;
  job["url"] = server.Url("/secret");
  EXPECT_EQ(RenderPdf(job, "a.pdf"), "error");
  EXPECT_EQ(LastMessageCode(), "networkRefused") << LastMessageText();
  EXPECT_NE(sink->DoneObject()["message"].asString().find("loopback"), std::string::npos);
  EXPECT_FALSE(FileExists(FilesFolder() + "/a.pdf"));
  job["url"] = "http://localhost:" + std::to_string(server.Port()) + "/secret";
  EXPECT_EQ(RenderPdf(job, "b.pdf"), "error");
  EXPECT_EQ(LastMessageCode(), "networkRefused");

  // Sub-resources and script requests of rendered HTML.
  job = Json::Value(Json::objectValue);
  job["html"] = "<img src='" + server.Url("/secret") + "'><script>fetch('http://127.0.0.1:" +
                std::to_string(server.Port()) + "/secret')</script>";
  EXPECT_EQ(RenderPdf(job, "c.pdf"), "error");
  EXPECT_EQ(LastMessageCode(), "networkRefused");
  EXPECT_TRUE(server.Requests().empty());

  // The page's own origin may be reached; a redirect from there elsewhere is checked again.
  LoopbackServer other;
  other.Serve("/secret", LoopbackServer::Answer{});
  LoopbackServer::Answer redirect;
  redirect.head = "HTTP/1.1 302 Found\r\nLocation: " + other.Url("/secret") + "\r\n";
  server.Serve("/away", redirect);
  control->setPageURL(Text(server.Url("/app/index.html")).Get());
  job["html"] = "<p>own origin</p><img src='/secret'>";
  EXPECT_EQ(RenderPdf(job, "d.pdf"), "success") << sink->DoneObject()["message"];
  auto requests = server.Requests();
  EXPECT_EQ(std::count(requests.begin(), requests.end(), "/secret"), 1);
  job["html"] = "<img src='/away'>";
  EXPECT_EQ(RenderPdf(job, "e.pdf"), "error");
  EXPECT_EQ(LastMessageCode(), "networkRefused");
  EXPECT_TRUE(other.Requests().empty());

  // Listed in control.json: allowed.
  WriteControlJson(R"({"allowNetworks": ["127.0.0.0/8"]})");
  job["html"] = "<img src='" + other.Url("/secret") + "'>";
  EXPECT_EQ(RenderPdf(job, "f.pdf"), "success") << sink->DoneObject()["message"];
  EXPECT_EQ(other.Requests(), std::vector<std::string>{"/secret"});
}

TEST_F(NetworkTest, RenderedPagesLeaveNothingInTheUsersHome) {
  ScopedEnv home("HOME", m_folder / "home");
  ScopedEnv temp("TMPDIR", m_folder / "tmp");
  ASSERT_TRUE(MakeFolders(m_folder / "home/Downloads") && MakeFolders(m_folder / "tmp"));
  LoopbackServer::Answer attachment;
  attachment.head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Disposition: attachment; filename=\"attached.bin\"\r\n";
  attachment.body = "attached bytes";
  server.Serve("/attached.bin", attachment);
  control->setPageURL(Text(server.Url("/")).Get());
  Json::Value job;
  job["html"] =
      "<a id='a' download='blob.txt'>x</a><iframe src='/attached.bin'></iframe><script>"
      "var a=document.getElementById('a');a.href=URL.createObjectURL(new Blob(['blob bytes']));a.click();"
      "</script><img src='/secret'>";
  EXPECT_EQ(RenderPdf(job, "page.pdf"), "success") << sink->DoneObject()["message"];
  std::vector<std::string> left;
  ListFiles(m_folder / "home", "", &left);
  ListFiles(m_folder / "tmp", "", &left);
  EXPECT_EQ(left, std::vector<std::string>{});
}

TEST_F(NetworkTest, JobsBeyondTheLimitQueueInOrderAndEndAtTheTimeLimit) {
  ScopedEnv temp("TMPDIR", m_folder / "tmp");
  ASSERT_TRUE(MakeFolders(m_folder / "tmp"));
  WriteControlJson(R"({"maxConcurrentJobs": 1, "maxQueuedJobs": 1, "jobTimeLimit": 10})");
  LoopbackServer::Answer hang;
  hang.hang = true;
  server.Serve("/slow.png", hang);
  control->setPageURL(Text(server.Url("/")).Get());
  Json::Value slow, quick;
  slow["html"] = "<img src='/slow.png'>";
  quick["html"] = "<p>quick</p>";
  BOOL started[3] = {};
  control->printToPDF(Job(slow).Get(), Text("slow.pdf").Get(), &started[0]);
  control->printToPDF(Job(quick).Get(), Text("quick.pdf").Get(), &started[1]);
  control->printToPDF(Job(quick).Get(), Text("refused.pdf").Get(), &started[2]);
  EXPECT_TRUE(started[0] && started[1]);
  EXPECT_FALSE(started[2]);
  ASSERT_TRUE(PumpUntil([&] { return sink->Of(DISPID_PRINTEREVENT_ONDONE).size() >= 3; }, 120000));
  auto done = sink->Of(DISPID_PRINTEREVENT_ONDONE);
  // The refused one first, then the slow one at its limit, then the queued one.
  EXPECT_EQ(done[0].args[0], "error");
  EXPECT_NE(done[0].args[1]["message"].asString().find("too many jobs"), std::string::npos);
  EXPECT_EQ(done[1].args[0], "error");
  EXPECT_NE(done[1].args[1]["message"].asString().find("time limit of 10 s"), std::string::npos)
      << done[1].args[1]["message"];
  EXPECT_EQ(done[2].args[0], "success") << done[2].args[1]["message"];
  EXPECT_EQ(done[2].args[1]["file"], SiteFolder(server.Url("/")) + "/quick.pdf");
  const std::string quickId = done[2].args[1]["id"].asString();
  // (The slow job's own states may come before or after: its process runs already.)
  std::vector<Json::Value> quickStates;
  for (const auto& state : sink->Of(DISPID_PRINTEREVENT_ONJOBSTATE))
    if (state.args[0]["id"] == quickId) quickStates.push_back(state.args[0]);
  ASSERT_FALSE(quickStates.empty());
  EXPECT_EQ(quickStates.front()["status"], "queued");
  EXPECT_EQ(quickStates.front()["position"], 1);
  std::vector<std::string> codes;
  for (const auto& m : sink->Of(DISPID_PRINTEREVENT_ONMESSAGE)) codes.push_back(m.args[0]["code"].asString());
  EXPECT_EQ(codes, (std::vector<std::string>{"queueFull", "timeLimit"}));
  // The stopped job's browser folder went with it.
  std::vector<std::string> left;
  ListFiles(m_folder / "tmp", "", &left);
  EXPECT_EQ(left, std::vector<std::string>{});
}

TEST_F(NetworkTest, RenderedPagesSendNoDatagramToThisMachine) {
  // WebRTC asks a STUN server over UDP, which no proxy carries.
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(udp, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr*>(&address), &size), 0);
  // A script of the page's own origin that takes a second and a half to
  // arrive keeps the page loading while the connection gathers its candidates.
  LoopbackServer::Answer slow;
  slow.head = "HTTP/1.1 200 OK\r\nContent-Type: text/javascript\r\n";
  slow.body = std::string(3 * 65536, ' ');
  slow.pieceDelayMs = 500;
  server.Serve("/slow.js", slow);
  control->setPageURL(Text(server.Url("/")).Get());
  Json::Value job;
  job["html"] = "<p>stun</p><script>var pc = new RTCPeerConnection({iceServers: [{urls: 'stun:127.0.0.1:" +
                std::to_string(ntohs(address.sin_port)) +
                "'}]}); pc.createDataChannel('d'); pc.createOffer().then(function (o) { "
                "return pc.setLocalDescription(o); }); document.write(\"<img src='/online-\" + navigator.onLine + "
                "\"'>\");</script><script src='/slow.js'></script>";
  // The warm renderer's browser, then a browser of the job's own.
  int round = 0;
  for (const char* config : {"{}", R"({"renderer": {"warm": false}})"}) {
    WriteControlJson(config);
    ++round;
    EXPECT_EQ(RenderPdf(job, "stun.pdf"), "success") << config << ": " << sink->DoneObject()["message"];
    auto requests = server.Requests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "/slow.js"), round) << config;
    // (The browser's own network does not tell pages they are offline.)
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "/online-true"), round)
        << config << ": " << testing::PrintToString(requests);
    pollfd p{udp, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 500), 0) << config << ": a datagram from the rendered page reached 127.0.0.1";
  }
  close(udp);
}
