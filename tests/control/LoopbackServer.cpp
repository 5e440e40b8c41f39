#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {
bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}
}  // namespace

LoopbackServer::LoopbackServer() {
  if (pipe(m_stop) != 0) return;
  m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listener, 64) != 0 ||
      getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return;
  m_port = ntohs(address.sin_port);
  m_acceptor = std::thread([this] {
    for (;;) {
      pollfd p[2] = {{m_listener, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
      if (poll(p, 2, -1) < 0 && errno == EINTR) continue;
      if (p[1].revents) return;
      int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::lock_guard lock(m_mutex);
      m_handlers.emplace_back(&LoopbackServer::Handle, this, client);
    }
  });
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_asked.notify_all();
  if (m_stop[1] >= 0) (void)!write(m_stop[1], "x", 1);
  if (m_acceptor.joinable()) m_acceptor.join();
  for (auto& t : m_handlers) t.join();
  for (int fd : {m_listener, m_stop[0], m_stop[1]})
    if (fd >= 0) close(fd);
}

void LoopbackServer::Serve(const std::string& path, Answer answer) {
  std::lock_guard lock(m_mutex);
  m_answers[path] = std::move(answer);
}

std::vector<std::string> LoopbackServer::Requests() const {
  std::lock_guard lock(m_mutex);
  return m_requests;
}

void LoopbackServer::Handle(int client) {
  std::string request;
  char chunk[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    pollfd p[2] = {{client, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
    if (poll(p, 2, 10000) <= 0 || p[1].revents) break;
    ssize_t n = read(client, chunk, sizeof chunk);
    if (n <= 0) break;
    request.append(chunk, static_cast<size_t>(n));
  }
  size_t space = request.find(' ');
  std::string path = space == std::string::npos ? "" : request.substr(space + 1, request.find(' ', space + 1) - space - 1);
  Answer answer;
  bool known = false;
  {
    std::lock_guard lock(m_mutex);
    m_requests.push_back(path);
    auto it = m_answers.find(path);
    if (it != m_answers.end()) answer = it->second, known = true;
  }
  m_asked.notify_all();
  if (!answer.after.empty()) {
    std::unique_lock lock(m_mutex);
    m_asked.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const std::string& asked : m_requests)
        if (asked.rfind(answer.after, 0) == 0) return true;
      return m_stopping;
    });
  }
  if (!known) answer.head = "HTTP/1.1 404 Not Found\r\n";
  if (answer.hang) {
    pollfd p{m_stop[0], POLLIN, 0};
    poll(&p, 1, -1);
  } else {
    std::string head = answer.head + "Connection: close\r\n" +
                       (answer.chunked ? "Transfer-Encoding: chunked\r\n"
                                       : "Content-Length: " + std::to_string(answer.body.size()) + "\r\n") +
                       "\r\n";
    bool ok = SendAll(client, head);
    for (size_t at = 0; ok && at < answer.body.size(); at += 65536) {
      std::string piece = answer.body.substr(at, 65536);
      if (answer.chunked) {
        char size[16];
        snprintf(size, sizeof size, "%zx\r\n", piece.size());
        piece = size + piece + "\r\n";
      }
      ok = SendAll(client, piece);
      if (answer.pieceDelayMs) poll(nullptr, 0, answer.pieceDelayMs);
    }
    if (ok && answer.chunked) SendAll(client, "0\r\n\r\n");
  }
  close(client);
}
