// The DevTools protocol over a browser's pipe (ChromiumProcess.h): JSON
// messages, each ending in NUL; commands carry an id, their replies the same
// id; everything else is an event.
//
// A command is sent either to wait for its reply (Call: events that arrive
// meanwhile are kept for WaitEvent) or with a continuation that runs when its
// reply is read by whatever reads next on this thread (CallAsync, Pump), so
// that the browser works on several things at once. Every read stops at the
// deadline (SetDeadline) with a failure; so does a browser that ends or writes
// a message larger than 768 MiB. A message that is not JSON is skipped.
//
// The session also answers the browser's requests for the one document URL
// it serves (ServeDocument, with Fetch.enable on the page) and lets every
// other intercepted request continue, and opens browser contexts for jobs
// (OpenContextAsync): the context's every connection through the proxy it is
// given, loopback included, downloads denied.
//
// Threads: one thread uses a session; SetDeadline may be called from any
// (moving the deadline to now makes the pending read fail soon: a cancel).
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>

class DevToolsSession {
 public:
  using Clock = std::chrono::steady_clock;

  // Talks over these pipe ends (not owned: the process closes them).
  void Connect(int commandFd, int replyFd) {
    m_out = commandFd;
    m_in = replyFd;
  }

  // Any thread.
  void SetDeadline(Clock::time_point deadline) { m_deadline.store(deadline); }

  // Sends a command and waits for its reply (its "result" in *result). False
  // with a message when the browser answers with an error, ends, or the
  // deadline passes.
  bool Call(const std::string& method, const Json::Value& params, const std::string& session, Json::Value* result,
            std::string* error);
  // Sends a command; then(reply message) runs once its reply has been read
  // (by a later Call, WaitEvent, Pump or FinishContext on this thread). False
  // when it cannot be sent.
  bool CallAsync(const std::string& method, const Json::Value& params, const std::string& session,
                 std::function<void(const Json::Value&)> then, std::string* error);
  // Reads and handles one message (an event, or the reply to a CallAsync).
  bool Pump(std::string* error);
  // Waits for an event of that name on that session ("" for the browser's own).
  bool WaitEvent(const std::string& method, const std::string& session, Json::Value* event, std::string* error);

  // The browser's request for url is answered with html (200, text/html).
  void ServeDocument(const std::string& url, const std::string& html);

  // A browser context (unless contextId is given) with a page in it and a
  // session attached to that page, opened step by step as replies arrive:
  // OpenContextAsync sends the first command and returns; later reads on this
  // thread carry it on; FinishContext reads until it is done.
  struct OpeningContext {
    std::string proxy;                     // in: "host:port" of the context's proxy
    std::string contextId;                 // in: an open context (only a page is opened); out: the new one
    std::string targetId, session, error;  // out
    int step = 0;
    bool done = false;
  };
  void OpenContextAsync(const std::shared_ptr<OpeningContext>& opening);
  bool FinishContext(const std::shared_ptr<OpeningContext>& opening, std::string* error);
  // Both in one: a fresh context through proxy and a page in it.
  bool OpenContext(const std::string& proxy, std::string* contextId, std::string* session, std::string* error);

 private:
  bool Send(const std::string& method, const Json::Value& params, const std::string& session, int* id,
            std::string* error);
  bool ReadMessage(Json::Value* message, std::string* error);
  void Dispatch(const Json::Value& message);
  void OpenStep(const std::shared_ptr<OpeningContext>& opening, const Json::Value& reply);
  void HandleEvent(const Json::Value& message);

  int m_out = -1, m_in = -1;
  int m_nextId = 1;
  std::string m_buffer;
  std::deque<Json::Value> m_events;
  std::map<int, std::function<void(const Json::Value&)>> m_then;
  std::atomic<Clock::time_point> m_deadline{Clock::now() + std::chrono::seconds(60)};
  std::string m_documentUrl;
  std::string m_documentBody;
};

// A JSON value as one line of text.
std::string CompactJson(const Json::Value& value);
