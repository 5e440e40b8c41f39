// JobLine: the line protocol between a job and the control. A job (the job
// process, a download, an export) reports one JSON object per line; the
// control turns each into events of the job's listener. Both sides build and
// read lines here only:
//
//   {"kind":"state","job":{...}}                the job's record changed
//   {"kind":"message","message":{"type":"error"|"warning","code","message","id"}}
//   {"kind":"released","id"}                    the document is with the print
//                                               scheduler: no time limit any more
//   {"kind":"done","status":"success"|"error","result":{"type","id","message",...}}
//                                               the last line of every job
#pragma once

#include <json/json.h>

#include <deque>
#include <mutex>
#include <string>

#include "platform/WinTypes.h"

struct JobLine {
  enum class Kind { State, Message, Released, Done, Other };
  // What a line is; Other for anything else (a line of another version).
  static Kind KindOf(const Json::Value& line);

  static Json::Value State(const Json::Value& record);
  static Json::Value Message(const std::string& type, const std::string& code, const std::string& text,
                             const Json::Value& id);
  static Json::Value Released(const Json::Value& id);
  // result: what the job's done event carries ("type", "id", "message", ...).
  static Json::Value Done(bool success, Json::Value result);
  // The done line of a job that ended without one of its own, built from its
  // request alone: an error with "jobId" 0 and text as its message.
  static Json::Value Failed(const Json::Value& request, const std::string& text);
};

// A job's state as the printing system reports it ("pending", "held",
// "processing", "stopped", "completed", "canceled", "aborted"): whether it
// is the last one, and the words the page is shown for it (position: its
// place in the queue, 0 when unknown).
bool IsFinalJobState(const std::string& state);
std::string DescribeJobState(const std::string& state, int position);

// Lines waiting for the main thread, shared by the control and the threads
// that read the jobs' lines.
class JobEventQueue {
 public:
  JobEventQueue(HWND window, UINT message) : m_window(window), m_message(message) {}
  // Any thread: queues one event line and wakes the window (if it still exists).
  void Push(Json::Value line);
  // Main thread: takes everything queued so far.
  std::deque<Json::Value> TakeAll();

 private:
  std::mutex m_mutex;
  std::deque<Json::Value> m_lines;
  HWND m_window;
  UINT m_message;
};
