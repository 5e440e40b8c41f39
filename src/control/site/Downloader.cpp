#include "control/site/Downloader.h"

#include <algorithm>
#include <curl/curl.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace {
constexpr const char* kTempSuffix = ".kxdownload";
constexpr int kMaxRedirects = 10;

std::atomic<int> g_running{0};

std::string Errno(int error) { return std::strerror(error); }

std::string SizeText(uint64_t bytes) {
  if (bytes % (uint64_t(1) << 30) == 0) return std::to_string(bytes >> 30) + " GiB";
  if (bytes % (uint64_t(1) << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// Where the bytes go, and what went wrong on the way.
struct Sink {
  int fd = -1;
  uint64_t bytes = 0;
  uint64_t maxBytes = 0;
  int writeErrno = 0;    // a failed write
  bool tooLarge = false;
  const std::function<bool(uint64_t, std::string*)>* hasRoom = nullptr;
  uint64_t roomUntil = 0;  // bytes written up to which the folder had room
  std::string noRoom;      // why the folder had no more

  bool Put(const char* data, size_t size) {
    if (bytes + size > maxBytes) {
      tooLarge = true;
      return false;
    }
    if (hasRoom && *hasRoom && bytes + size > roomUntil) {
      if (!(*hasRoom)(size, &noRoom)) return false;
      roomUntil = bytes + kRoomStep;
    }
    size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        writeErrno = n < 0 ? errno : ENOSPC;
        return false;
      }
      done += static_cast<size_t>(n);
    }
    bytes += size;
    return true;
  }
  // Back to empty (a redirect's body is not the download).
  void Reset() {
    if (ftruncate(fd, 0) == 0) lseek(fd, 0, SEEK_SET);
    bytes = 0;
    roomUntil = 0;
  }
};

size_t WriteChunk(char* data, size_t size, size_t count, void* user) {
  size_t total = size * count;
  return static_cast<Sink*>(user)->Put(data, total) ? total : 0;  // 0: curl stops with a write error
}

// The connection being made for the current address, checked against the policy.
struct Connecting {
  const NetworkPolicy* policy;
  WebOrigin origin;
  std::string refusal;
};

curl_socket_t OpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
  auto* c = static_cast<Connecting*>(user);
  if (purpose != CURLSOCKTYPE_IPCXN || (address->family != AF_INET && address->family != AF_INET6))
    return CURL_SOCKET_BAD;
  IpAddress ip;
  ip.v6 = address->family == AF_INET6;
  if (ip.v6) std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(&address->addr)->sin6_addr, 16);
  else std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_addr, 4);
  std::string why;
  if (!c->policy->Allows(c->origin.Scheme(), c->origin.Host(), c->origin.Port(), ip, &why)) {
    if (c->refusal.empty()) c->refusal = why;
    return CURL_SOCKET_BAD;
  }
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// Fetches an http(s) address into sink, following redirects one by one so
// that each is checked. "" on success, else what failed; *code names it.
std::string Fetch(const DownloadRequest& request, Sink* sink, std::string* code) {
  CURL* curl = curl_easy_init();
  if (!curl) return "cannot start libcurl";
  char errorText[CURL_ERROR_SIZE] = {};
  Connecting connecting{&request.network, {}, {}};
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_PROXY, "");  // never a proxy: the policy must see the address
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);  // stalled for a minute: give up
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBytes));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteChunk);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, &connecting);
  std::string url = request.url, failure;
  for (int hop = 0;; ++hop) {
    // Parsed once by the browser's rules, and curl handed the address as
    // parsed (host, port, path): curl's own reading of an odd spelling
    // ("http://a\\@b/") could name another host than the one the policy
    // is asked about.
    std::string rest;
    connecting.origin = WebOrigin::Parse(url, &rest);
    if (!connecting.origin.IsValid()) {
      failure = (hop ? "a redirect led to '" : "cannot read the address '") + url + "' (http and https only)";
      break;
    }
    const std::string parsed = connecting.origin.Key() + rest;
    sink->Reset();
    errorText[0] = 0;
    connecting.refusal.clear();
    curl_easy_setopt(curl, CURLOPT_URL, parsed.c_str());
    CURLcode result = curl_easy_perform(curl);
    if (!connecting.refusal.empty()) {
      *code = "networkRefused";
      failure = "refused to connect to " + connecting.origin.Host() + ":" + std::to_string(connecting.origin.Port()) +
                ": " + connecting.refusal;
      break;
    }
    if (sink->tooLarge) {
      *code = "tooLarge";
      failure = "the download is larger than the limit of " + SizeText(request.maxBytes);
      break;
    }
    if (!sink->noRoom.empty()) {
      *code = "noRoom";
      failure = sink->noRoom;
      break;
    }
    if (sink->writeErrno) {
      failure = "cannot write the download: " + Errno(sink->writeErrno);
      break;
    }
    if (result == CURLE_FILESIZE_EXCEEDED) {
      *code = "tooLarge";
      failure = "the server announced more than the limit of " + SizeText(request.maxBytes);
      break;
    }
    if (result != CURLE_OK) {
      failure = std::string(errorText[0] ? errorText : curl_easy_strerror(result));
      break;
    }
    long status = 0;
    char* next = nullptr;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &next);
    if (status >= 300 && status < 400 && next) {
      if (hop >= kMaxRedirects) {
        failure = "more than " + std::to_string(kMaxRedirects) + " redirects";
        break;
      }
      url = next;
      continue;
    }
    if (status >= 400) failure = "the server answered " + std::to_string(status);
    break;
  }
  curl_easy_cleanup(curl);
  return failure;
}

// Copies a local regular file into sink. "" on success, else what failed.
std::string CopyLocal(const std::string& path, Sink* sink, uint64_t maxBytes, std::string* code) {
  // Not blocking on a FIFO or device; no link followed at the last step.
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "cannot open " + path + ": " + Errno(errno);
  struct stat st;
  std::string failure;
  char chunk[65536];
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    failure = path + " is not a regular file";
  } else {
    for (;;) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        failure = "cannot read " + path + ": " + Errno(errno);
        break;
      }
      if (n == 0) break;
      if (!sink->Put(chunk, static_cast<size_t>(n))) {
        if (sink->tooLarge) *code = "tooLarge";
        if (!sink->noRoom.empty()) *code = "noRoom";
        failure = sink->tooLarge          ? path + " is larger than the limit of " + SizeText(maxBytes)
                  : !sink->noRoom.empty() ? sink->noRoom
                                          : "cannot write the download: " + Errno(sink->writeErrno);
        break;
      }
    }
  }
  close(fd);
  return failure;
}

// A unique temporary file beside target, created exclusively and locked.
int CreateTemp(const std::string& target, std::string* path, std::string* failure) {
  size_t slash = target.rfind('/');
  std::string name = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".XXXXXX" + kTempSuffix;
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    // mkostemps: O_CREAT | O_EXCL under a random name, mode 0600.
    int fd = mkostemps(buffer.data(), static_cast<int>(std::strlen(kTempSuffix)), O_CLOEXEC);
    if (fd < 0) {
      *failure = "cannot create a file beside " + target + ": " + Errno(errno);
      return -1;
    }
    flock(fd, LOCK_EX);  // "being written": the sweep leaves it alone
    // A sweep may have taken it between its creation and the lock.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_nlink > 0) {
      *path = buffer.data();
      return fd;
    }
    close(fd);
  }
  *failure = "cannot keep a file beside " + target;
  return -1;
}

void Run(DownloadRequest request, std::shared_ptr<JobEventQueue> queue) {
  std::string code = "downloadFailed", temp, failure;
  Sink sink;
  sink.maxBytes = request.maxBytes;
  sink.hasRoom = &request.hasRoom;
  sink.fd = CreateTemp(request.target, &temp, &failure);
  if (sink.fd >= 0) {
    failure = request.localPath.empty() ? Fetch(request, &sink, &code)
                                        : CopyLocal(request.localPath, &sink, request.maxBytes, &code);
    if (failure.empty() && fsync(sink.fd) != 0) failure = "cannot write the download: " + Errno(errno);
    if (failure.empty() && fchmod(sink.fd, 0644) != 0) failure = "cannot finish the download: " + Errno(errno);
    if (failure.empty() && request.place && !request.place(temp, &failure)) {
      if (failure.rfind("no room", 0) == 0) code = "noRoom";
    } else if (failure.empty() && !request.place && rename(temp.c_str(), request.target.c_str()) != 0) {
      failure = "cannot move the download to " + request.target + ": " + Errno(errno);
    }
    if (!failure.empty()) unlink(temp.c_str());
    close(sink.fd);
  }
  const bool ok = failure.empty();
  if (!ok) {
    queue->Push(JobLine::Message("error", code, "download of " + request.url + " failed: " + failure, request.id));
  }
  Json::Value result(Json::objectValue);
  result["type"] = "download";
  result["id"] = request.id;
  result["url"] = request.url;
  result["file"] = request.target;
  result["bytes"] = static_cast<Json::UInt64>(ok ? sink.bytes : 0);
  result["message"] = ok ? "downloaded " + std::to_string(sink.bytes) + " bytes to " + request.target
                         : "download of " + request.url + " failed: " + failure;
  --g_running;
  queue->Push(JobLine::Done(ok, std::move(result)));
}

// The sweep's walk: nftw has no context argument.
thread_local size_t t_budget = 0;

int SweepEntry(const char* path, const struct stat* st, int type, struct FTW*) {
  if (t_budget == 0) return 1;  // stop the walk
  --t_budget;
  const size_t length = std::strlen(path), suffix = std::strlen(kTempSuffix);
  if (type != FTW_F || !S_ISREG(st->st_mode) || length < suffix ||
      std::strcmp(path + length - suffix, kTempSuffix) != 0)
    return 0;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  // Nobody holds its lock: the download that wrote it has ended without finishing.
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(path);
  close(fd);
  return 0;
}
}  // namespace

void InitDownloads() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartDownload(DownloadRequest request, std::shared_ptr<JobEventQueue> queue, std::string* error) {
  InitDownloads();
  if (++g_running > kMaxDownloads) {
    --g_running;
    *error = "too many downloads at once (" + std::to_string(kMaxDownloads) + "); start it again when one has ended";
    return false;
  }
  try {
    std::thread(Run, std::move(request), std::move(queue)).detach();
  } catch (const std::exception& e) {
    --g_running;
    *error = std::string("cannot start the download: ") + e.what();
    return false;
  }
  return true;
}

void SweepDownloadLeftovers(const std::vector<std::string>& folders, size_t budget) {
  for (const std::string& folder : folders) {
    t_budget = budget;
    nftw(folder.c_str(), SweepEntry, 16, FTW_PHYS);
  }
}

bool ResolveUrl(const std::string& url, const std::string& base, std::string* absolute) {
  CURLU* handle = curl_url();
  if (!handle) return false;
  const unsigned flags = CURLU_NON_SUPPORT_SCHEME;
  bool ok = true;
  if (!base.empty()) ok = curl_url_set(handle, CURLUPART_URL, base.c_str(), flags) == CURLUE_OK;
  // With a base set, a relative address is resolved against it.
  if (ok) ok = curl_url_set(handle, CURLUPART_URL, url.c_str(), flags) == CURLUE_OK;
  char* text = nullptr;
  if (ok) ok = curl_url_get(handle, CURLUPART_URL, &text, 0) == CURLUE_OK && text;
  if (ok) *absolute = text;
  curl_free(text);
  curl_url_cleanup(handle);
  return ok;
}
