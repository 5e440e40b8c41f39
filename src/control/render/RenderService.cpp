#include "control/render/RenderService.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "control/base/ControlJson.h"
#include "control/base/ControlPaths.h"
#include "control/base/Spawn.h"
#include "control/render/WarmChromium.h"
#include "control/base/Trace.h"
#include "framing/FrameCodec.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestBytes = size_t(256) << 20;  // HTML with images inlined
constexpr size_t kMaxReplyBytes = size_t(1) << 30;
constexpr int kMaxConnections = 64;

int Remaining(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

bool WaitFd(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, Remaining(deadline));
    if (rc < 0 && errno == EINTR) continue;
    return rc == 1 && (p.revents & (events | POLLHUP | POLLERR));
  }
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  return Json::writeString(writer, value);
}

bool Parse(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + text.size(), value, &errors) && value->isObject();
  } catch (const std::exception&) {
    return false;
  }
}

int ConnectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int PidFd(int pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// SIGTERM and SIGINT end the service the orderly way: its browsers (each in a
// process group of its own) would otherwise outlive it.
volatile sig_atomic_t g_stopRequested = 0;
void RequestStop(int) { g_stopRequested = 1; }

// What the service's threads share.
struct ServiceState {
  std::mutex mutex;
  std::condition_variable changed;
  int connections = 0;
  int rendering = 0;
  Clock::time_point lastActivity = Clock::now();
  std::vector<int> newHosts;
  std::string executable;  // the browser it runs, as jobs name it
};

void Serve(int fd, RenderPool& pool, ServiceState& state) {
  std::string text;
  Json::Value message, reply(Json::objectValue);
  std::string output;
  bool rendered = false, answered = false;
  auto answer = [&] {
    if (answered) return;
    answered = true;
    if (reply.isMember("browsers")) reply["memoryKb"] = static_cast<Json::Int64>(pool.MemoryKb());
    if (WriteFrame(fd, Compact(reply), 30000) && rendered) WriteFrame(fd, output, 120000);
    Trace("service: answered");
  };
  if (ReadFrame(fd, &text, kMaxRequestBytes, 30000) && Parse(text, &message)) {
    Trace("service: request read");
    const std::string kind = message["kind"].isString() ? message["kind"].asString() : "";
    if (kind == "status") {
      std::lock_guard lock(state.mutex);
      reply["ok"] = true;
      reply["browsers"] = pool.Running();
      reply["busy"] = pool.Busy();
      reply["started"] = pool.Started();
      reply["replaced"] = pool.Replaced();
      reply["sites"] = pool.Sites();
      reply["rendering"] = state.rendering;
      for (pid_t group : pool.ProcessGroups()) reply["processGroups"].append(static_cast<int>(group));
      reply["pid"] = static_cast<int>(getpid());
    } else if (kind == "render" && message["request"].isObject() &&
               message.get("chromium", "").asString() != state.executable) {
      // Rendered with another browser than the job would use itself: the job does it.
      reply["ok"] = false;
      reply["code"] = "otherBrowser";
      reply["error"] = "this renderer runs " + state.executable;
    } else if (kind == "render" && message["request"].isObject()) {
      {
        std::lock_guard lock(state.mutex);
        ++state.rendering;
        state.lastActivity = Clock::now();
        if (message["hostPid"].isInt() && message["hostPid"].asInt() > 1) state.newHosts.push_back(message["hostPid"].asInt());
      }
      std::string error, code = "renderFailed";
      // A job process that ends (its time limit, the user) while it waits
      // closes the connection: its page is given up at once, so that the
      // shared browser is free for the next job.
      // (The watcher waits on a pipe too, which ends it at once after the job.)
      RenderCancel cancel;
      int wake[2] = {-1, -1};
      if (pipe2(wake, O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
      std::thread watcher([&] {
        for (;;) {
          pollfd p[2] = {{fd, POLLRDHUP, 0}, {wake[0], POLLIN, 0}};
          int rc = poll(p, wake[0] >= 0 ? 2 : 1, wake[0] >= 0 ? -1 : 100);
          if (rc < 0 && errno == EINTR) continue;
          if (rc > 0 && (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR))) {
            cancel.Cancel();
            return;
          }
          if (rc > 0 && p[1].revents) return;
          if (rc < 0) return;
        }
      });
      // The job gets its answer as soon as there is one; the browser cleans
      // up after it (and readies the next page) while the job goes on.
      auto finish = [&](bool ok) {
        if (wake[1] >= 0) (void)!write(wake[1], "x", 1);
        if (watcher.joinable()) watcher.join();
        rendered = ok;
        reply["ok"] = ok;
        if (!ok) {
          reply["error"] = error;
          reply["code"] = code;
        }
        answer();
      };
      try {
        rendered = pool.Render(RenderRequestFromJson(message["request"]), &output, &error, &code, &cancel, finish);
      } catch (const std::exception& e) {
        error = std::string("the renderer failed: ") + e.what();
        rendered = false;
      }
      if (!answered) finish(rendered);
      if (wake[0] >= 0) close(wake[0]);
      if (wake[1] >= 0) close(wake[1]);
      std::lock_guard lock(state.mutex);
      --state.rendering;
      state.lastActivity = Clock::now();
    } else {
      reply["ok"] = false;
      reply["error"] = "unknown request";
      reply["code"] = "renderFailed";
    }
    answer();
  }
  close(fd);
  std::lock_guard lock(state.mutex);
  --state.connections;
  state.changed.notify_all();
}
}  // namespace

bool WriteFrame(int fd, const std::string& bytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (bytes.size() > 0xFFFFFFFFu) return false;
  // The wire's own length prefix (framing/FrameCodec.h).
  char head[kFramePrefixBytes];
  EncodeFrameLength(static_cast<uint32_t>(bytes.size()), head);
  auto put = [&](const char* data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
      if (!WaitFd(fd, POLLOUT, deadline)) return false;
      ssize_t w = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (w <= 0) return false;
      sent += static_cast<size_t>(w);
    }
    return true;
  };
  return put(head, sizeof head) && put(bytes.data(), bytes.size());
}

bool ReadFrame(int fd, std::string* bytes, size_t maxBytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  auto get = [&](char* data, size_t size) {
    size_t got = 0;
    while (got < size) {
      if (!WaitFd(fd, POLLIN, deadline)) return false;
      ssize_t r = recv(fd, data + got, size - got, MSG_DONTWAIT);
      if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  };
  char head[kFramePrefixBytes];
  if (!get(head, sizeof head)) return false;
  const size_t n = DecodeFrameLength(head);
  // The length is checked before anything is allocated for it.
  if (n > maxBytes) return false;
  bytes->assign(n, '\0');
  return get(bytes->data(), n);
}

std::string RenderServiceFolder(std::string* error) {
  std::string folder;
  if (const char* chosen = std::getenv("KESTRIX_RENDER_DIR"); chosen && *chosen == '/') folder = chosen;
  else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
    folder = std::string(runtime) + "/kestrix";
  else folder = "/tmp/kestrix-" + std::to_string(getuid());
  MakeFolders(folder, 0700);
  struct stat st;
  // Another user's folder (made in /tmp ahead of us) must not carry our socket.
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0) {
    if (error) *error = folder + " is not a folder of this user closed to others";
    return std::string();
  }
  return folder;
}

std::string RenderServiceSocket() {
  std::string folder = RenderServiceFolder();
  return folder.empty() ? std::string() : folder + "/render.sock";
}

Json::Value RenderRequestToJson(const RenderRequest& r) {
  Json::Value v(Json::objectValue);
  v["png"] = r.output == RenderRequest::Output::Png;
  v["html"] = r.html;
  v["documentUrl"] = r.documentUrl;
  v["url"] = r.url;
  v["paperWidthMm"] = r.paperWidthMm;
  v["paperHeightMm"] = r.paperHeightMm;
  v["paperGiven"] = r.paperGiven;
  v["landscape"] = r.landscape;
  v["marginTopMm"] = r.marginTopMm;
  v["marginRightMm"] = r.marginRightMm;
  v["marginBottomMm"] = r.marginBottomMm;
  v["marginLeftMm"] = r.marginLeftMm;
  v["marginsGiven"] = r.marginsGiven;
  v["printBackground"] = r.printBackground;
  v["pageRanges"] = r.pageRanges;
  v["extraCss"] = r.extraCss;
  v["imageWidth"] = r.imageWidth;
  v["timeoutMs"] = r.timeoutMs;
  v["network"] = r.network.ToJson();
  return v;
}

RenderRequest RenderRequestFromJson(const Json::Value& v) {
  RenderRequest r;
  r.output = v.get("png", false).asBool() ? RenderRequest::Output::Png : RenderRequest::Output::Pdf;
  r.html = v.get("html", "").asString();
  r.documentUrl = v.get("documentUrl", r.documentUrl).asString();
  r.url = v.get("url", "").asString();
  r.paperWidthMm = v.get("paperWidthMm", r.paperWidthMm).asDouble();
  r.paperHeightMm = v.get("paperHeightMm", r.paperHeightMm).asDouble();
  r.paperGiven = v.get("paperGiven", false).asBool();
  r.landscape = v.get("landscape", false).asBool();
  r.marginTopMm = v.get("marginTopMm", r.marginTopMm).asDouble();
  r.marginRightMm = v.get("marginRightMm", r.marginRightMm).asDouble();
  r.marginBottomMm = v.get("marginBottomMm", r.marginBottomMm).asDouble();
  r.marginLeftMm = v.get("marginLeftMm", r.marginLeftMm).asDouble();
  r.marginsGiven = v.get("marginsGiven", false).asBool();
  r.printBackground = v.get("printBackground", true).asBool();
  r.pageRanges = v.get("pageRanges", "").asString();
  r.extraCss = v.get("extraCss", "").asString();
  r.imageWidth = std::clamp(v.get("imageWidth", 1024).asInt(), 16, 8192);
  r.timeoutMs = std::clamp(v.get("timeoutMs", 60000).asInt(), 1000, 600000);
  r.network = NetworkPolicy::FromJson(v["network"]);
  return r;
}

WarmOutcome RenderWithService(const RenderRequest& request, int hostPid, int waitMs, std::string* output,
                              std::string* error, std::string* code) {
  const std::string path = RenderServiceSocket();
  if (path.empty()) return WarmOutcome::Unavailable;
  // A service just started may not listen yet.
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  Trace("job: connects to the renderer");
  int fd = ConnectTo(path);
  while (fd < 0 && Clock::now() < deadline) {
    usleep(10000);
    fd = ConnectTo(path);
  }
  if (fd < 0) return WarmOutcome::Unavailable;
  Json::Value message(Json::objectValue);
  message["kind"] = "render";
  message["hostPid"] = hostPid;
  message["chromium"] = ChromiumRenderer::Find();
  message["request"] = RenderRequestToJson(request);
  std::string header;
  Json::Value reply;
  // The service bounds the rendering itself; this only guards against a service that is gone.
  const bool answered = WriteFrame(fd, Compact(message), 30000) &&
                        ReadFrame(fd, &header, 1 << 20, request.timeoutMs + 60000) && Parse(header, &reply);
  if (!answered) {
    close(fd);
    return WarmOutcome::Unavailable;  // nothing came of it: the caller renders itself
  }
  if (!reply["ok"].asBool() && reply["code"].asString() == "otherBrowser") {
    close(fd);
    return WarmOutcome::Unavailable;
  }
  if (!reply["ok"].asBool()) {
    close(fd);
    if (error) *error = reply.get("error", "the renderer failed").asString();
    if (code) *code = reply.get("code", "renderFailed").asString();
    return WarmOutcome::Failed;
  }
  bool ok = ReadFrame(fd, output, kMaxReplyBytes, 120000);
  close(fd);
  return ok ? WarmOutcome::Rendered : WarmOutcome::Unavailable;
}

bool RenderServiceStatus(Json::Value* status) {
  const std::string path = RenderServiceSocket();
  int fd = path.empty() ? -1 : ConnectTo(path);
  if (fd < 0) return false;
  Json::Value message(Json::objectValue);
  message["kind"] = "status";
  std::string text;
  bool ok = WriteFrame(fd, Compact(message), 5000) && ReadFrame(fd, &text, 1 << 20, 5000) && Parse(text, status);
  close(fd);
  return ok;
}

bool EnsureRenderService(const std::string& jobExecutable, int browsers, int idleSeconds, std::string* error) {
  std::string why;
  const std::string folder = RenderServiceFolder(&why);
  if (folder.empty()) {
    if (error) *error = why;
    return false;
  }
  const std::string path = folder + "/render.sock";
  if (int fd = ConnectTo(path); fd >= 0) {
    close(fd);
    return true;
  }
  // One just started may not listen yet: its jobs wait for it, and a second
  // start would only cost the job that asks (the second one ends at once).
  static Clock::time_point lastStart;
  static std::string lastPath;
  if (lastPath == path && Clock::now() - lastStart < std::chrono::seconds(5)) return true;
  if (jobExecutable.empty()) {
    if (error) *error = "kestrix-job was not found";
    return false;
  }
  std::vector<std::string> args = {jobExecutable, "--render-service", "--socket", path, "--browsers",
                                    std::to_string(browsers), "--idle", std::to_string(idleSeconds),
                                    "--host-pid", std::to_string(getpid())};
  // Standard input, output and error: the host's message channel and its log
  // are not the service's.
  SpawnOptions options;
  options.fds = {ChildFd::Null(), ChildFd::Null(), ChildFd::Null()};
  std::string spawnError;
  pid_t pid = Spawn(args, options, &spawnError);
  if (pid < 0) {
    if (error) *error = "cannot start the renderer: " + spawnError;
    return false;
  }
  lastStart = Clock::now();
  lastPath = path;
  // The process starts the service and ends at once: reap it.
  std::thread([pid] {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

int RunRenderService(const RenderServiceOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  // One service per socket: the lock says who it is.
  const std::string lockPath = options.socketPath + ".lock";
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock < 0) return 1;
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    close(lock);
    return 0;  // another one serves
  }
  // Bound and listening under a name of its own, then renamed into place: a
  // job that finds the socket can connect at once (a socket bound where the
  // jobs look refuses them until it listens).
  const std::string boundPath = options.socketPath + ".new";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (boundPath.size() >= sizeof address.sun_path) {
    close(lock);
    return 1;
  }
  std::memcpy(address.sun_path, boundPath.c_str(), boundPath.size() + 1);
  unlink(boundPath.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 64) != 0 || rename(boundPath.c_str(), options.socketPath.c_str()) != 0) {
    if (listener >= 0) close(listener);
    unlink(boundPath.c_str());
    close(lock);
    return 1;
  }

  g_stopRequested = 0;
  struct sigaction stop {};
  stop.sa_handler = RequestStop;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  ServiceState state;
  state.executable = options.executable;
  std::map<int, int> hosts;  // pid -> pidfd
  auto addHost = [&](int pid) {
    if (hosts.count(pid)) return;
    int fd = PidFd(pid);
    if (fd >= 0) hosts[pid] = fd;  // a host that has already gone is not waited for
  };
  for (int pid : options.hostPids) addHost(pid);
  {
    RenderPool pool(options.factory, options.browsers);
    auto tidied = Clock::now();
    for (;;) {
      std::vector<pollfd> fds = {{listener, POLLIN, 0}};
      for (const auto& [pid, fd] : hosts) fds.push_back({fd, POLLIN, 0});
      int rc = poll(fds.data(), fds.size(), 250);
      if (g_stopRequested || (rc < 0 && errno != EINTR)) break;
      if (rc > 0 && (fds[0].revents & POLLIN)) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          ucred peer{};
          socklen_t len = sizeof peer;
          std::unique_lock guard(state.mutex);
          // Only this user's processes, and a bounded number at once.
          if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 || peer.uid != getuid() ||
              state.connections >= kMaxConnections) {
            guard.unlock();
            close(fd);
          } else {
            ++state.connections;
            guard.unlock();
            std::thread(Serve, fd, std::ref(pool), std::ref(state)).detach();
          }
        }
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        for (auto it = hosts.begin(); it != hosts.end(); ++it) {
          if (it->second == fds[i].fd) {
            close(it->second);
            hosts.erase(it);
            break;
          }
        }
      }
      std::unique_lock guard(state.mutex);
      for (int pid : state.newHosts) addHost(pid);
      state.newHosts.clear();
      const auto quiet = Clock::now() - state.lastActivity;
      const bool busy = state.rendering > 0;
      guard.unlock();
      // The user's last host has gone (a moment's grace for one that was just
      // starting a job), or nothing to do for the idle time: the service ends.
      if (!busy && hosts.empty() && quiet >= std::chrono::seconds(1)) break;
      if (!busy && quiet >= std::chrono::seconds(std::max(1, options.idleSeconds))) break;
      // Sites whose jobs stopped coming give their contexts back.
      if (Clock::now() - tidied >= std::chrono::seconds(1)) {
        pool.TidyIdle();
        tidied = Clock::now();
      }
    }
    close(listener);
    unlink(options.socketPath.c_str());
    // Connections still open finish first (they may be rendering); then the browsers go.
    std::unique_lock guard(state.mutex);
    state.changed.wait_for(guard, std::chrono::seconds(30), [&] { return state.connections == 0; });
    if (state.connections > 0) _exit(0);  // a thread that never ends must not hold the process
  }
  for (const auto& [pid, fd] : hosts) close(fd);
  close(lock);
  return 0;
}

void PrepareWarmRendering(Json::Value* request, int browsers) {
  const Json::Value& source = (*request)["source"];
  const bool renders = source.isMember("html") || source.isMember("url") ||
                       source.get("mime", "").asString() == "text/html";
  // Without a browser there is nothing to keep warm: the job says so itself.
  if (!renders || ChromiumRenderer::Find().empty()) return;
  const Json::Value settings = ReadControlJson()["renderer"];
  if (settings.isObject() && settings["warm"].isBool() && !settings["warm"].asBool()) return;
  int idle = 120;
  if (settings.isObject() && settings["idleSeconds"].isInt()) idle = std::clamp(settings["idleSeconds"].asInt(), 10, 3600);
  std::string error;
  // A service that cannot start costs nothing: the job renders by itself.
  if (!EnsureRenderService(FindJobExecutable(), browsers, idle, &error)) return;
  (*request)["warm"] = true;
  (*request)["hostPid"] = static_cast<int>(getpid());
}

int RenderServiceMain(int argc, char** argv) {
  RenderServiceOptions options;
  bool serving = false;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--socket") options.socketPath = value;
    else if (name == "--browsers") options.browsers = std::clamp(std::atoi(value.c_str()), 1, 16);
    else if (name == "--idle") options.idleSeconds = std::clamp(std::atoi(value.c_str()), 1, 3600);
    else if (name == "--host-pid") options.hostPids.push_back(std::atoi(value.c_str()));
    else if (name == "--serving") serving = value == "1";
  }
  if (options.socketPath.empty()) return 2;
  if (!serving) {
    // The starter reaps this process at once; the service runs in a process
    // of its own, this program again, in a session of its own (its parent
    // gone, the system reaps it).
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::vector<std::string> args(argv, argv + argc);
    args[0] = length > 0 ? std::string(self, static_cast<size_t>(length)) : "/proc/self/exe";
    if (access(args[0].c_str(), X_OK) != 0) args[0] = "/proc/self/exe";  // (replaced since it started)
    args.insert(args.end(), {"--serving", "1"});
    SpawnOptions spawn;
    spawn.fds = {ChildFd::Null(), ChildFd::Null(), ChildFd::Null()};
    std::string error;
    return Spawn(args, spawn, &error) > 0 ? 0 : 1;
  }
  const std::string executable = ChromiumRenderer::Find();
  options.executable = executable;
  // The browsers' folders live beside the socket, closed to others like it.
  const std::string folder = options.socketPath.substr(0, options.socketPath.rfind('/'));
  // Sites kept per browser and their idle time: {"renderer": {"sites": 4, "siteIdleSeconds": 60}}.
  const Json::Value settings = ReadControlJson()["renderer"];
  WarmSiteLimits limits;
  if (settings.isObject() && settings["sites"].isInt()) limits.sites = std::clamp(settings["sites"].asInt(), 1, 32);
  if (settings.isObject() && settings["siteIdleSeconds"].isInt())
    limits.idleSeconds = std::clamp(settings["siteIdleSeconds"].asInt(), 1, 3600);
  options.factory = [executable, folder, limits](std::string* error, std::string* code) {
    return StartWarmChromium(executable, folder, error, code, limits);
  };
  // (Its detached connection threads may still be ending: no exit handlers.)
  _exit(RunRenderService(options));
}
