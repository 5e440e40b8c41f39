// ReplyWriter: the reply envelope and what the host writes through the frame
// writer. Everything that leaves on standard output (replies, the listener's
// job events, the keepalive's ping) goes through one of these, so the limit
// of the browser and the tab every envelope carries are applied in one place.
#include "dispatch/ReplyWriter.h"

#include <algorithm>
#include <cstring>

#include "framing/FrameWriter.h"
#include "platform/CodePage.h"
#include "platform/JsonText.h"
#include "platform/Kernel.h"
#include "platform/OleText.h"

namespace {

// Long text results go out in pieces of at most this many bytes of text.
constexpr size_t kPieceBytes = 500000;
// A piece never shrinks below this while it is fitted under the message limit.
constexpr size_t kMinPieceBytes = 64;

}  // namespace

ReplyWriter::ReplyWriter() { SetTab(Json::Value()); }

void ReplyWriter::WriteText(const std::string& data, const std::string& event) {
  if (event.empty()) return;
  // The envelope WriteReply would build for a string value, without making
  // one: the text is quoted straight from the conversion.
  std::string text = TextEnvelope(data, event, -1);
  if (text.size() <= kMaxMessageBytes)
    SendText(std::move(text));
  else
    WriteTextInPieces(data, event);
}


void ReplyWriter::WriteMessage(const std::string& text) {
  SendText(AnsiToUtf8(text));
}

bool ReplyWriter::SendText(std::string&& utf8) {
  if (utf8.size() > kMaxMessageBytes) {
    std::string note = "kestrix-host: dropped an outgoing message of " + std::to_string(utf8.size()) +
                       " bytes (the browser accepts at most " + std::to_string(kMaxMessageBytes) + ")";
    OutputDebugStringA(note.c_str());
    return false;
  }
  if (m_pWriter) m_pWriter->WriteOwnedFrame(std::move(utf8));
  return true;
}

std::string ReplyWriter::EnvelopeText(const Json::Value* data, const std::string& event, int32_t index) const {
  // Members in ascending byte order, as the compact writer lists them.
  std::string text;
  text.reserve(event.size() + m_tabTail.size() + 32);
  text = "{";
  if (data) {
    text += "\"data\":";
    AppendCompactJson(text, *data);
    text += ',';
  }
  AppendEnvelopeTail(text, event, index);
  return AnsiToUtf8(std::move(text));
}

std::string ReplyWriter::TextEnvelope(std::string_view data, const std::string& event, int32_t index,
                                       bool dataIsUtf8) const {
  std::string text;
  // A piece of a long text: built in a buffer an earlier piece left with the writer.
  if (data.size() >= FrameWriter::kMoveBytes && m_pWriter) text = m_pWriter->TakeBuffer();
  text.reserve(data.size() + event.size() + m_tabTail.size() + 32);
  text = "{\"data\":";
  AppendQuotedJson(text, data);
  text += ',';
  size_t tail = text.size();
  AppendEnvelopeTail(text, event, index);
  // Quoted UTF-8 stays valid UTF-8 without a NUL: only the rest is looked at
  // (once the code page is UTF-8 that is all AnsiToUtf8 would do).
  if (dataIsUtf8 && WideToAnsiIsUtf8()) {
    std::string_view rest = std::string_view(text).substr(tail);
    if (AnsiToUtf8(rest) == rest) return text;
  }
  return AnsiToUtf8(std::move(text));
}

void ReplyWriter::AppendEnvelopeTail(std::string& text, const std::string& event, int32_t index) const {
  text += "\"event\":";
  AppendQuotedJson(text, event);
  if (index != -1) {
    text += ",\"index\":";
    text += std::to_string(index);
  }
  text += m_tabTail;
}

void ReplyWriter::SetTab(const Json::Value& tab) {
  m_tab = tab;
  // Written once here rather than into every reply.
  m_tabTail = ",\"tab\":";
  AppendCompactJson(m_tabTail, m_tab);
  m_tabTail += "}\n";
}

void ReplyWriter::WriteReply(const Json::Value* data, const std::string& event, int32_t index) {
  if (event.empty()) return;
  std::string text = EnvelopeText(data, event, index);
  if (text.size() <= kMaxMessageBytes) {
    SendText(std::move(text));
    return;
  }
  // Too long for the browser: a text result goes out in pieces like
  // "readBase64"; anything else is dropped with a note (SendText logs it).
  if (data && data->isString() && index == -1)
    WriteTextInPieces(data->asString(), event);
  else
    SendText(std::move(text));
}

// The text of WriteTextInPieces: all of it at hand, or a wide text converted
// a window at a time. Ahead() is what is left, or at least kAhead bytes of
// it: enough for a whole piece and for CharacterBoundary to look past its end.
class ReplyWriter::TextSource {
 public:
  explicit TextSource(std::string_view text) : m_rest(text) {}
  explicit TextSource(OleStringView wide) : m_wide(wide), m_streaming(true), m_window(kAhead + 16, '\0') {
    TopUp();
  }

  std::string_view Ahead() const {
    return m_streaming ? std::string_view(m_window.data() + m_start, m_end - m_start) : m_rest;
  }
  // True when Ahead() holds all that is left.
  bool AllAhead() const { return !m_streaming || m_used == m_wide.size(); }
  bool Empty() const { return AllAhead() && Ahead().empty(); }
  // True when the text is UTF-8 made here (valid, no NUL): it needs no check.
  bool MadeHere() const { return m_streaming; }
  void Consume(size_t n) {
    if (!m_streaming) {
      m_rest.remove_prefix(n);
      return;
    }
    m_start += n;
    TopUp();
  }

 private:
  static constexpr size_t kAhead = kPieceBytes + 4;

  void TopUp() {
    if (m_used == m_wide.size() || m_end - m_start >= kAhead) return;
    std::memmove(m_window.data(), m_window.data() + m_start, m_end - m_start);
    m_end -= m_start;
    m_start = 0;
    // Whole characters until the buffer is full: at least kAhead bytes, or all.
    size_t written = 0;
    m_used += ConvertUtf16ToUtf8(m_wide.substr(m_used), m_window.data() + m_end, m_window.size() - m_end, &written);
    m_end += written;
  }

  std::string_view m_rest;
  OleStringView m_wide;
  bool m_streaming = false;
  std::string m_window;  // converted and not yet sent: [m_start, m_end)
  size_t m_start = 0;
  size_t m_end = 0;
  size_t m_used = 0;     // units of m_wide converted into the window
};

void ReplyWriter::WriteTextInPieces(const std::string& text, const std::string& event) {
  TextSource source{std::string_view(text)};
  WritePieces(source, event);
}

void ReplyWriter::WriteWideTextInPieces(OleStringView text, const std::string& event) {
  if (event.empty()) return;  // as for every reply: no event name, no reply
  if (!WideToAnsiIsUtf8()) {
    WriteTextInPieces(WideToAnsi(text), event);
    return;
  }
  TextSource source{text.substr(0, UnitsBeforeNul(text))};  // where WideToAnsi would stop
  WritePieces(source, event);
}

void ReplyWriter::WritePieces(TextSource& source, const std::string& event) {
  if (event.empty()) return;  // as for every reply: no event name, no reply
  // An envelope that is over the limit without any text (a huge event name
  // or tab) can never be sent: dropped at once, not piece by shrinking piece.
  std::string bare = TextEnvelope({}, event, 0);
  if (bare.size() > kMaxMessageBytes) {
    SendText(std::move(bare));  // logs the drop
    return;
  }
  int32_t counter = 0;
  do {
    std::string_view rest = source.Ahead();
    size_t want = std::min(kPieceBytes, rest.size());
    for (;;) {
      size_t len = CharacterBoundary(rest, want);
      if (len == 0) len = std::min(want, rest.size());  // a single character longer than the piece
      bool last = source.AllAhead() && len == rest.size();
      std::string envelope = TextEnvelope(rest.substr(0, len), event, last ? -1 : counter, source.MadeHere());
      // Escaping can make a piece's envelope longer than the text: shrink until it fits.
      if (envelope.size() <= kMaxMessageBytes || len <= kMinPieceBytes) {
        SendText(std::move(envelope));
        source.Consume(len);
        break;
      }
      want = len / 2;
    }
    ++counter;
  } while (!source.Empty());
}
