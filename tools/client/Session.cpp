#include "Session.h"

#include <fcntl.h>
#include <json/json.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string_view>
#include <thread>

#include "framing/FrameCodec.h"

extern char** environ;

namespace {

const char kPing[] = "{\"method\":\"ping\"}";

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The message on one line: as the host wrote it when it is one line already
// (the final newline of a reply dropped); otherwise parsed and written
// compactly with its UTF-8 kept; text that does not parse is shown with its
// line ends as blanks.
std::string OneLine(const std::string& text) {
  std::string_view trimmed(text);
  if (!trimmed.empty() && trimmed.back() == '\n') trimmed.remove_suffix(1);
  if (trimmed.find_first_of("\r\n") == std::string_view::npos) return std::string(trimmed);
  Json::Value value;
  Json::CharReaderBuilder rb;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(rb.newCharReader());
  if (reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
    Json::StreamWriterBuilder wb;
    wb["indentation"] = "";
    wb["emitUTF8"] = true;
    return Json::writeString(wb, value);
  }
  std::string line = text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool IsRequestLine(const std::string& line) {
  size_t first = line.find_first_not_of(" \t\r");
  return first != std::string::npos && line[first] != '#';
}

}  // namespace

bool Session::Start() {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv;
  for (std::string& a : m_opt.command) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    std::cerr << "kestrix-client: cannot start " << m_opt.command[0] << ": " << std::strerror(rc) << "\n";
    ::close(in[1]);
    ::close(out[0]);
    return false;
  }
  m_toHost = in[1];
  m_fromHost = out[0];
  return true;
}

bool Session::Send(const std::string& text) {
  if (m_toHost < 0) return false;
  // Shown as written (requests are one line each already).
  if (m_opt.echo && (text != kPing || m_opt.printPings)) std::cout << "> " << text << std::endl;
  std::string frame = Frame(text);
  const char* p = frame.data();
  size_t left = frame.size();
  while (left > 0) {
    ssize_t w = ::write(m_toHost, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;  // the host has gone
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

void Session::Handle(const std::string& text) {
  const bool ping = text == kPing;
  if (!ping) m_lastActivityMs = NowMs();
  if (!ping || m_opt.printPings) std::cout << (m_opt.echo ? "< " : "") << OneLine(text) << std::endl;
  if (ping && m_opt.answerPings) Send(kPing);
}

void Session::TakeOutput() {
  char buf[65536];
  ssize_t got = ::read(m_fromHost, buf, sizeof buf);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    m_hostClosed = true;
    return;
  }
  m_outBuffer.append(buf, static_cast<size_t>(got));
  while (m_outBuffer.size() >= 4) {
    uint32_t n = DecodeFrameLength(m_outBuffer.data());
    if (m_outBuffer.size() - 4 < n) break;
    std::string text = m_outBuffer.substr(4, n);
    m_outBuffer.erase(0, 4 + static_cast<size_t>(n));
    Handle(text);
  }
}

void Session::TakeInputLines(bool atEnd) {
  size_t nl;
  while ((nl = m_inBuffer.find('\n')) != std::string::npos) {
    std::string line = m_inBuffer.substr(0, nl);
    m_inBuffer.erase(0, nl + 1);
    if (IsRequestLine(line)) Send(line);
  }
  if (atEnd && IsRequestLine(m_inBuffer)) Send(m_inBuffer);
  if (atEnd) m_inBuffer.clear();
}

int Session::Run() {
  if (!Start()) return 1;
  for (const std::string& r : m_opt.requests) Send(r);
  bool readingInput = m_opt.requests.empty();
  m_lastActivityMs = NowMs();

  // Until the host has gone, or the input has ended and the replies have settled.
  while (!m_hostClosed) {
    if (!readingInput && NowMs() - m_lastActivityMs >= m_opt.waitMs) break;
    pollfd fds[2] = {{m_fromHost, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    int timeout = readingInput ? -1 : static_cast<int>(std::max<long long>(0, m_opt.waitMs - (NowMs() - m_lastActivityMs)));
    int r = ::poll(fds, readingInput ? 2 : 1, timeout);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    if (fds[0].revents) TakeOutput();
    if (readingInput && fds[1].revents) {
      char buf[65536];
      ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
      if (got > 0) {
        m_inBuffer.append(buf, static_cast<size_t>(got));
        TakeInputLines(false);
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        TakeInputLines(true);
        readingInput = false;
        m_lastActivityMs = NowMs();
      }
    }
  }
  return Finish();
}

int Session::Finish() {
  if (!m_hostClosed) {
    if (m_opt.sendExit) Send("{\"method\":\"exit\"}");
    m_opt.answerPings = false;  // a host left alone ends itself by its keepalive
  }
  ::close(m_toHost);
  m_toHost = -1;
  // Print what still comes until the host closes its output, with a deadline.
  const long long deadline = NowMs() + (m_opt.sendExit ? 5000 : 10000);
  while (!m_hostClosed && NowMs() < deadline) {
    pollfd fd{m_fromHost, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(deadline - NowMs())) > 0) TakeOutput();
  }
  ::close(m_fromHost);
  int status = 0;
  pid_t r = 0;
  for (long long end = NowMs() + 5000; (r = ::waitpid(m_pid, &status, WNOHANG)) == 0 && NowMs() < end;)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (r == 0) {
    std::cerr << "kestrix-client: the host did not end; killing it\n";
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    return 1;
  }
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) != 0) std::cerr << "kestrix-client: the host exited with status " << WEXITSTATUS(status) << "\n";
    return WEXITSTATUS(status);
  }
  std::cerr << "kestrix-client: the host was ended by signal " << WTERMSIG(status) << "\n";
  return 128 + WTERMSIG(status);
}
