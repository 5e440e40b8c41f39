#include "common/Session.h"

#include <poll.h>

#include "common/Envelope.h"

namespace bench {

const std::string_view kPing = "{\"method\":\"ping\"}";

std::string NewRequest(std::string_view url) {
  return std::string(R"({"method":"new","sender":{"tab":{"id":1},"url":")") + std::string(url) + "\"}}";
}

std::string Request(std::string_view method, std::string_view event, std::string_view params) {
  std::string r = "{\"method\":\"";
  r.append(method);
  r.append("\"");
  if (!params.empty()) {
    r.append(",\"params\":");
    r.append(params);
  }
  r.append(",\"event\":\"");
  r.append(event);
  r.append("\"}");
  return r;
}

bool IsPing(std::string_view text) {
  // The host writes this literal text, byte for byte.
  return text == kPing;
}

Session::Session(const std::vector<std::string>& argv) : m_child(argv), m_reader(m_child.Out()) {}

bool Session::Send(std::string_view text, Clock::time_point deadline) {
  return m_child.WriteAll(Frame(text), deadline);
}

bool Session::ReceiveView(std::string_view& text, Clock::time_point deadline) {
  for (;;) {
    while (m_reader.Next(text)) {
      if (!IsPing(text)) return true;
      if (!AnswerPing(deadline)) return false;
    }
    FrameReader::Fill f = m_reader.ReadSome();
    if (f == FrameReader::Fill::End) return false;
    if (f == FrameReader::Fill::Again) {
      pollfd p{m_child.Out(), POLLIN, 0};
      int left = MillisLeft(deadline);
      if (left == 0 || ::poll(&p, 1, left) <= 0) return false;
    }
  }
}

bool Session::Receive(std::string& text, Clock::time_point deadline) {
  std::string_view v;
  if (!ReceiveView(v, deadline)) return false;
  text.assign(v);
  return true;
}

bool Session::Open(Clock::time_point deadline, std::string_view url) {
  if (!Send(NewRequest(url), deadline) || !Send(Request("getVersion", "open"), deadline)) return false;
  std::string_view reply;
  while (ReceiveView(reply, deadline)) {
    Envelope e;
    if (ReadEnvelope(reply, e) && e.event && *e.event == "open") return true;
  }
  return false;
}

void Session::Close() {
  auto soon = Clock::now() + std::chrono::seconds(5);
  Send("{\"method\":\"exit\"}", soon);
  m_child.CloseIn();
  if (!m_child.WaitExit(soon)) {
    m_child.Kill();
    m_child.WaitExit(Clock::now() + std::chrono::seconds(5));
  }
}

}  // namespace bench
