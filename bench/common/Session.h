// A conversation with a host (the real one or the echo host) over its pipes:
// "new" first, requests out, replies in, the host's pings answered on the way
// (a host that sees no request between two pings ends itself), "exit" last.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/Child.h"
#include "common/Wire.h"

namespace bench {

// {"method":"new","sender":{"tab":{"id":1},"url":"http://127.0.0.1/bench"}} (or the page's url given)
std::string NewRequest(std::string_view url = "http://127.0.0.1/bench");
// {"method":M,"event":E} or, with params (a JSON array text), {"method":M,"params":P,"event":E}
std::string Request(std::string_view method, std::string_view event, std::string_view params = {});
extern const std::string_view kPing;  // {"method":"ping"}

class Session {
 public:
  explicit Session(const std::vector<std::string>& argv);

  Child& child() { return m_child; }
  FrameReader& reader() { return m_reader; }

  bool Send(std::string_view text, Clock::time_point deadline);
  // The next frame that is not a ping (pings are answered). The view is valid
  // until the next call. False at the deadline or at the end of output.
  bool ReceiveView(std::string_view& text, Clock::time_point deadline);
  bool Receive(std::string& text, Clock::time_point deadline);
  // Sends "new" and one "getVersion" and waits for its reply, so that what is
  // measured afterwards no longer includes loading the page and the control.
  bool Open(Clock::time_point deadline, std::string_view url = "http://127.0.0.1/bench");
  // Sends "exit" and waits a little for the child to end, then kills it.
  void Close();

  // Answers a ping (also used by callers that read frames themselves).
  bool AnswerPing(Clock::time_point deadline) { ++m_pings; return Send(kPing, deadline); }
  uint64_t PingsAnswered() const { return m_pings; }

 private:
  Child m_child;
  FrameReader m_reader;
  uint64_t m_pings = 0;
};

// True for the host's keepalive text.
bool IsPing(std::string_view text);

}  // namespace bench
