#include "control/render/Socks5Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

namespace {
constexpr int kHandshakeMs = 10000;
constexpr int kConnectMs = 15000;

// SOCKS5 reply codes.
constexpr uint8_t kSucceeded = 0, kGeneralFailure = 1, kNotAllowed = 2, kHostUnreachable = 4, kRefused = 5,
                  kCommandNotSupported = 7, kAddressNotSupported = 8;

// Reads exactly n bytes, waiting at most timeoutMs in all, or until wake is readable.
bool ReadExactly(int fd, int wake, uint8_t* out, size_t n, int timeoutMs) {
  size_t done = 0;
  while (done < n) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    int r = poll(p, 2, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || p[1].revents) return false;
    ssize_t got = read(fd, out + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t put = send(fd, data + done, n - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

void Reply(int fd, uint8_t code) {
  const uint8_t reply[10] = {5, code, 0, 1, 0, 0, 0, 0, 0, 0};
  WriteAll(fd, reply, sizeof reply);
}

// A connection to one address, with a bound on the wait.
int ConnectTo(const sockaddr* address, socklen_t length, int wake) {
  int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (connect(fd, address, length) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  pollfd p[2] = {{fd, POLLOUT, 0}, {wake, POLLIN, 0}};
  int r;
  while ((r = poll(p, 2, kConnectMs)) < 0 && errno == EINTR) {
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (r <= 0 || p[1].revents || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

IpAddress FromSockaddr(const sockaddr* address) {
  IpAddress ip;
  if (address->sa_family == AF_INET6) {
    ip.v6 = true;
    std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
  } else {
    std::memcpy(ip.bytes.data(), &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
  }
  return ip;
}
}  // namespace

struct Socks5Server::State {
  explicit State(NetworkPolicy p) : policy(std::move(p)) {}
  ~State() {
    if (listener >= 0) close(listener);
    if (wake[0] >= 0) close(wake[0]);
    if (wake[1] >= 0) close(wake[1]);
  }
  const NetworkPolicy policy;
  int listener = -1;
  int wake[2] = {-1, -1};
  std::atomic<int> active{0};
  std::mutex mutex;
  std::set<int> sockets;  // open client and server sockets, shut down by Stop()
  std::vector<std::string> refusals;

  void Track(int fd) {
    std::lock_guard lock(mutex);
    sockets.insert(fd);
  }
  void Close(int fd) {
    if (fd < 0) return;
    {
      std::lock_guard lock(mutex);
      sockets.erase(fd);
    }
    close(fd);
  }
  void Refused(const std::string& line) {
    std::lock_guard lock(mutex);
    if (refusals.size() < 100) refusals.push_back(line);
  }
};

Socks5Server::Socks5Server(NetworkPolicy policy) : m_state(std::make_shared<State>(std::move(policy))) {}

Socks5Server::~Socks5Server() { Stop(); }

bool Socks5Server::Start(int listener, std::string* error) {
  State& s = *m_state;
  if (listener < 0) return false;
  s.listener = listener;
  if (pipe2(s.wake, O_CLOEXEC) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &size) != 0 || address.sin_family != AF_INET) {
    *error = std::string("the proxy's socket has no IPv4 address: ") + std::strerror(errno);
    return false;
  }
  m_port = ntohs(address.sin_port);
  std::shared_ptr<State> state = m_state;
  try {
    m_acceptor = std::thread([state] {
      for (;;) {
        pollfd p[2] = {{state->listener, POLLIN, 0}, {state->wake[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno == EINTR) continue;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        int client = accept4(state->listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        if (state->active >= kMaxConnections) {
          close(client);  // the browser sees a failed connection, not a hang
          continue;
        }
        ++state->active;
        state->Track(client);
        try {
          std::thread(&Socks5Server::Serve, state, client).detach();
        } catch (const std::exception&) {
          state->Close(client);
          --state->active;
        }
      }
    });
  } catch (const std::exception& e) {
    *error = std::string("cannot start the proxy: ") + e.what();
    return false;
  }
  return true;
}

std::string Socks5Server::Address() const { return "socks5://127.0.0.1:" + std::to_string(m_port); }

void Socks5Server::Stop() {
  State& s = *m_state;
  if (s.wake[1] >= 0) (void)!write(s.wake[1], "x", 1);  // never read: stays readable for every thread
  if (m_acceptor.joinable()) m_acceptor.join();
  std::lock_guard lock(s.mutex);
  for (int fd : s.sockets) shutdown(fd, SHUT_RDWR);
}

std::vector<std::string> Socks5Server::Refusals() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->refusals;
}

void Socks5Server::Serve(std::shared_ptr<State> state, int client) {
  State& s = *state;
  const int wake = s.wake[0];
  int server = -1;
  auto finish = [&] {
    s.Close(server);
    s.Close(client);
    --s.active;
  };
  uint8_t head[2];
  uint8_t methods[255];
  // Greeting: version 5, the methods offered; only "no authentication" is taken.
  if (!ReadExactly(client, wake, head, 2, kHandshakeMs) || head[0] != 5 ||
      !ReadExactly(client, wake, methods, head[1], kHandshakeMs) ||
      std::memchr(methods, 0, head[1]) == nullptr) {
    const uint8_t none[2] = {5, 0xFF};
    WriteAll(client, none, 2);
    return finish();
  }
  const uint8_t chosen[2] = {5, 0};
  uint8_t request[4];
  if (!WriteAll(client, chosen, 2) || !ReadExactly(client, wake, request, 4, kHandshakeMs) || request[0] != 5)
    return finish();
  if (request[1] != 1) {  // CONNECT only
    Reply(client, kCommandNotSupported);
    return finish();
  }
  std::string host;
  uint8_t buffer[256];
  if (request[3] == 1 || request[3] == 4) {
    IpAddress ip;
    ip.v6 = request[3] == 4;
    if (!ReadExactly(client, wake, ip.bytes.data(), ip.v6 ? 16 : 4, kHandshakeMs)) return finish();
    host = ip.ToString();
  } else if (request[3] == 3) {
    if (!ReadExactly(client, wake, buffer, 1, kHandshakeMs) ||
        !ReadExactly(client, wake, buffer + 1, buffer[0], kHandshakeMs))
      return finish();
    host.assign(reinterpret_cast<char*>(buffer + 1), buffer[0]);
  } else {
    Reply(client, kAddressNotSupported);
    return finish();
  }
  uint8_t portBytes[2];
  if (!ReadExactly(client, wake, portBytes, 2, kHandshakeMs)) return finish();
  const int port = (portBytes[0] << 8) | portBytes[1];

  // Resolve, decide for each address, connect to the first allowed one that answers.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const std::string shown = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + service;
  if (host.empty() || host.find('\0') != std::string::npos ||
      getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    Reply(client, kHostUnreachable);
    return finish();
  }
  std::string refusal;
  for (addrinfo* a = found; a && server < 0; a = a->ai_next) {
    if (a->ai_family != AF_INET && a->ai_family != AF_INET6) continue;
    std::string why;
    if (!s.policy.Allows("", host, port, FromSockaddr(a->ai_addr), &why)) {
      if (refusal.empty()) refusal = shown + ": " + why;
      continue;
    }
    server = ConnectTo(a->ai_addr, a->ai_addrlen, wake);
  }
  freeaddrinfo(found);
  if (server < 0) {
    if (!refusal.empty()) s.Refused(refusal);
    Reply(client, refusal.empty() ? kRefused : kNotAllowed);
    return finish();
  }
  s.Track(server);
  Reply(client, kSucceeded);

  // Relay until either side ends (or Stop() shuts the sockets down).
  uint8_t chunk[65536];
  for (;;) {
    pollfd p[3] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {wake, POLLIN, 0}};
    if (poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[2].revents) break;
    bool ended = false;
    for (int i = 0; i < 2 && !ended; ++i) {
      if (!p[i].revents) continue;
      ssize_t n = read(p[i].fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      ended = n <= 0 || !WriteAll(p[1 - i].fd, chunk, static_cast<size_t>(n));
    }
    if (ended) break;
  }
  finish();
}
