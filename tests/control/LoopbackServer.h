// A small HTTP server on 127.0.0.1 for the control's network tests: fixed
// answers by path, one request per connection, every request path recorded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class LoopbackServer {
 public:
  struct Answer {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";  // without the blank line
    std::string body;
    bool chunked = false;    // send the body chunked (no length known in advance)
    int pieceDelayMs = 0;    // pause between pieces of 64 KiB
    bool hang = false;       // never answer (until the server stops)
    // Answer only once a request whose path starts with this has come (at
    // most 20 s): holds a page's load until its scripts report back.
    std::string after;
  };

  LoopbackServer();
  ~LoopbackServer();
  void Serve(const std::string& path, Answer answer);
  int Port() const { return m_port; }
  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(m_port); }
  std::string Url(const std::string& path) const { return Origin() + path; }
  // The paths asked for so far.
  std::vector<std::string> Requests() const;

 private:
  void Handle(int client);
  int m_listener = -1;
  int m_stop[2] = {-1, -1};
  int m_port = 0;
  std::thread m_acceptor;
  mutable std::mutex m_mutex;
  std::condition_variable m_asked;
  bool m_stopping = false;
  std::map<std::string, Answer> m_answers;
  std::vector<std::string> m_requests;
  std::vector<std::thread> m_handlers;
};
