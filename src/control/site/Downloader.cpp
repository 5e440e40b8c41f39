#include "control/site/Downloader.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "control/base/FileSystem.h"

namespace {
constexpr const char* kTempSuffix = ".kxdownload";
constexpr int kMaxRedirects = 10;

std::atomic<int> g_running{0};

std::string SizeText(uint64_t bytes) {
  if (bytes % (uint64_t(1) << 30) == 0) return std::to_string(bytes >> 30) + " GiB";
  if (bytes % (uint64_t(1) << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// Where the bytes go, and what went wrong on the way.
struct Sink {
  NewFile* file = nullptr;
  uint64_t bytes = 0;
  uint64_t maxBytes = 0;
  std::string writeError;  // of a failed write
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
    if (!file->Write(data, size)) {
      writeError = LastFileError();
      return false;
    }
    bytes += size;
    return true;
  }
  // Back to empty (a redirect's body is not the download).
  void Reset() {
    file->Truncate();
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
    if (!sink->writeError.empty()) {
      failure = "cannot write the download: " + sink->writeError;
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
  ReadableFile file;
  if (!file.Open(path, true)) return "cannot open " + path + " (not a regular file, or unreadable): " + LastFileError();
  char chunk[65536];
  for (;;) {
    const long long n = file.Read(chunk, sizeof chunk);
    if (n < 0) return "cannot read " + path + ": " + LastFileError();
    if (n == 0) return std::string();
    if (!sink->Put(chunk, static_cast<size_t>(n))) {
      if (sink->tooLarge) *code = "tooLarge";
      if (!sink->noRoom.empty()) *code = "noRoom";
      return sink->tooLarge          ? path + " is larger than the limit of " + SizeText(maxBytes)
             : !sink->noRoom.empty() ? sink->noRoom
                                     : "cannot write the download: " + sink->writeError;
    }
  }
}

void Run(DownloadRequest request, std::shared_ptr<JobEventQueue> queue) {
  std::string code = "downloadFailed", temp, failure;
  Sink sink;
  sink.maxBytes = request.maxBytes;
  sink.hasRoom = &request.hasRoom;
  // A unique temporary file beside the target, held while it is written.
  NewFile file;
  const size_t slash = request.target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : request.target.substr(0, slash);
  const std::string prefix = "." + request.target.substr(slash + 1) + ".";
  if (!file.Create(folder, prefix, 0644, kTempSuffix)) {
    failure = "cannot create a file beside " + request.target + ": " + LastFileError();
  } else {
    sink.file = &file;
    temp = file.Path();
    failure = request.localPath.empty() ? Fetch(request, &sink, &code)
                                        : CopyLocal(request.localPath, &sink, request.maxBytes, &code);
    if (failure.empty() && !file.Finish()) failure = "cannot write the download: " + LastFileError();
    if (failure.empty() && request.place && !request.place(temp, &failure)) {
      if (failure.rfind("no room", 0) == 0) code = "noRoom";
    } else if (failure.empty() && !request.place && !MoveOver(temp, request.target)) {
      failure = "cannot move the download to " + request.target + ": " + LastFileError();
    }
    if (failure.empty()) file.Keep();  // placed: the name is the target's now
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
  const std::string suffix = kTempSuffix;
  for (const std::string& folder : folders) {
    // Every entry seen counts against the budget; links are not followed.
    size_t left = budget;
    std::vector<std::string> pending{folder};
    while (!pending.empty() && left > 0) {
      const std::string dir = std::move(pending.back());
      pending.pop_back();
      for (const std::string& name : FolderNames(dir, left)) {
        if (left == 0) break;
        --left;
        const std::string path = dir + "/" + name;
        const EntryKind kind = EntryAt(path).kind;
        if (kind == EntryKind::Folder) pending.push_back(path);
        else if (kind == EntryKind::File && name.size() > suffix.size() &&
                 name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
          RemoveIfUnheld(path);
      }
    }
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
