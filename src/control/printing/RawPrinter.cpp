#include "control/printing/RawPrinter.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "control/formats/Base64.h"
#include "control/base/ControlPaths.h"
#include "control/formats/TextEncoding.h"

namespace {
constexpr size_t kMaxRawBytes = size_t(64) << 20;

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

bool HexDecode(const std::string& text, std::string* out) {
  std::string bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (high < 0) {
      high = v;
    } else {
      bytes += static_cast<char>(high * 16 + v);
      high = -1;
    }
  }
  if (high >= 0) return false;
  *out = std::move(bytes);
  return true;
}

Json::Value ReadConfig() {
  std::string text;
  Json::Value config;
  if (!ReadWholeFile(ControlConfigPath(), &text, 1 << 20)) return config;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &config, &errors)) config = Json::Value();
  } catch (const std::exception&) {
    config = Json::Value();  // a broken configuration lists no printer
  }
  return config;
}

struct AddrInfoFree {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
}  // namespace

bool ReadRawContent(const Json::Value& raw, std::string* bytes, std::string* error) {
  const char* form = "\"raw\" must be base64 text or {\"base64\"}, {\"hex\"} or {\"text\", \"encoding\"}";
  std::string out;
  if (raw.isString()) {
    if (!Base64Decode(raw.asString(), &out)) return Fail(error, "\"raw\" is not valid base64");
  } else if (raw.isObject()) {
    int given = raw.isMember("base64") + raw.isMember("hex") + raw.isMember("text");
    if (given != 1) return Fail(error, form);
    if (raw.isMember("base64")) {
      if (!raw["base64"].isString() || !Base64Decode(raw["base64"].asString(), &out))
        return Fail(error, "\"raw\": \"base64\" is not valid base64");
    } else if (raw.isMember("hex")) {
      if (!raw["hex"].isString() || !HexDecode(raw["hex"].asString(), &out))
        return Fail(error, "\"raw\": \"hex\" must be pairs of hex digits");
    } else {
      if (!raw["text"].isString()) return Fail(error, "\"raw\": \"text\" must be text");
      std::string encoding = raw.get("encoding", "").isString() ? raw.get("encoding", "").asString() : "?";
      if (encoding == "?") return Fail(error, "\"raw\": \"encoding\" must be a name such as \"ISO-8859-1\"");
      std::string why;
      if (!EncodeFromUtf8(raw["text"].asString(), encoding, &out, &why))
        return Fail(error, "\"raw\": cannot encode the text as '" + encoding + "': " + why);
    }
  } else {
    return Fail(error, form);
  }
  if (out.empty()) return Fail(error, "\"raw\" holds no bytes");
  if (out.size() > kMaxRawBytes) return Fail(error, "\"raw\" holds more than 64 MiB");
  *bytes = std::move(out);
  return true;
}

bool AllowedRawSocket(const std::string& printer, std::string* hostPort, std::string* error) {
  if (error) error->clear();
  const std::string scheme = "socket://";
  if (printer.compare(0, scheme.size(), scheme) != 0) return false;
  std::string address = printer.substr(scheme.size());
  if (!address.empty() && address.back() == '/') address.pop_back();
  const Json::Value list = ReadConfig()["rawPrinters"];
  bool listed = false;
  if (list.isArray())
    for (const auto& item : list) listed = listed || (item.isString() && item.asString() == printer);
  if (!listed)
    return Fail(error, "'" + printer + "' is not listed in \"rawPrinters\" of " + ControlConfigPath());
  size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size() ||
      address.find_first_not_of("0123456789", colon + 1) != std::string::npos)
    return Fail(error, "'" + printer + "' must be socket://host:port");
  *hostPort = address;
  return true;
}

bool SendToSocket(const std::string& hostPort, const std::string& bytes, int timeoutMs, std::string* error) {
  size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) return Fail(error, "'" + hostPort + "' must be host:port");
  std::string host = hostPort.substr(0, colon), port = hostPort.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
    return Fail(error, "cannot find " + hostPort + ": " + gai_strerror(rc));
  std::unique_ptr<addrinfo, AddrInfoFree> addresses(found);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string why = "no address";
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      why = std::strerror(errno);
      close(fd);
      fd = -1;
      continue;
    }
    pollfd p{fd, POLLOUT, 0};
    int soError = 0;
    socklen_t len = sizeof soError;
    if (poll(&p, 1, RemainingMs(deadline)) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 ||
        soError != 0) {
      why = soError ? std::strerror(soError) : "no answer in time";
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) return Fail(error, "cannot connect to " + hostPort + ": " + why);
  size_t done = 0;
  while (done < bytes.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, RemainingMs(deadline)) != 1) {
      close(fd);
      return Fail(error, "the printer at " + hostPort + " took no more data after " + std::to_string(done) + " bytes");
    }
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      std::string text = std::strerror(errno);
      close(fd);
      return Fail(error, "sending to " + hostPort + " failed: " + text);
    }
    done += static_cast<size_t>(n);
  }
  // Our side is done; a printer closes its side once it has the data. Some
  // never do: after a short wait the bytes are with it anyway.
  shutdown(fd, SHUT_WR);
  char sink[512];
  const auto closeBy = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(2));
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, RemainingMs(closeBy)) != 1) break;
    ssize_t n = recv(fd, sink, sizeof sink, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  close(fd);
  return true;
}
