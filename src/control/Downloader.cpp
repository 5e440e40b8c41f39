#include "control/Downloader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

namespace {
struct Sink {
  int fd;
  curl_off_t bytes = 0;
  bool failed = false;
};

size_t WriteChunk(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t total = size * count;
  size_t done = 0;
  while (done < total) {
    ssize_t n = write(sink->fd, data + done, total - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sink->failed = true;
      return 0;  // curl stops with a write error
    }
    done += static_cast<size_t>(n);
  }
  sink->bytes += static_cast<curl_off_t>(total);
  return total;
}

void Run(std::string url, std::string target, std::string id, std::shared_ptr<JobEventQueue> queue) {
  Json::Value line(Json::objectValue);
  line["kind"] = "done";
  Json::Value result(Json::objectValue);
  result["type"] = "download";
  result["id"] = id;
  result["url"] = url;
  result["file"] = target;
  size_t slash = target.rfind('/');
  std::string temp = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".download";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  std::string message;
  Sink sink{fd};
  bool ok = false;
  if (fd < 0) {
    message = "cannot write " + target + ": " + std::strerror(errno);
  } else {
    CURL* curl = curl_easy_init();
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https,file");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");  // a redirect never leads to a local file
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);  // stalled for a minute: give up
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(2) << 30);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteChunk);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    bool synced = fsync(fd) == 0;
    close(fd);
    if (code == CURLE_OK && !sink.failed && synced && rename(temp.c_str(), target.c_str()) == 0) {
      ok = true;
      message = "downloaded " + std::to_string(static_cast<long long>(sink.bytes)) + " bytes to " + target;
    } else {
      unlink(temp.c_str());
      message = "download of " + url + " failed: " + (errorText[0] ? errorText : curl_easy_strerror(code));
    }
  }
  result["bytes"] = static_cast<Json::Int64>(sink.bytes);
  result["message"] = message;
  line["status"] = ok ? "success" : "error";
  line["result"] = result;
  queue->Push(std::move(line));
}
}  // namespace

void InitDownloads() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool StartDownload(const std::string& url, const std::string& target, const std::string& id,
                   std::shared_ptr<JobEventQueue> queue, std::string* error) {
  InitDownloads();
  try {
    std::thread(Run, url, target, id, std::move(queue)).detach();
  } catch (const std::exception& e) {
    *error = std::string("cannot start the download: ") + e.what();
    return false;
  }
  return true;
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
