// ReplyWriter: builds the reply envelope and hands every outgoing message to
// the frame writer, the one way out.
//
// A reply is {"data", "event", "index", "tab"} in that order (the compact
// writer's ascending member order), UTF-8, ending in a newline. A text too
// long for one message goes out in pieces: all but the last carry "index"
// 0, 1, 2, ... A message longer than the browser accepts (1 MiB) is dropped
// and logged: the browser would close the connection over it.
//
// Not thread-safe: the control proxy owns one and uses it on the main thread.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/OleText.h"

class FrameWriter;

class ReplyWriter {
 public:
  // Browsers close the connection when a host sends a message longer than this.
  static constexpr size_t kMaxMessageBytes = 1048576;

  ReplyWriter();
  ReplyWriter(const ReplyWriter&) = delete;
  ReplyWriter& operator=(const ReplyWriter&) = delete;

  // Where every message leaves: standard output in the host, a buffer in
  // tests. Not owned; without one nothing is written.
  void SetFrameWriter(FrameWriter* writer) { m_pWriter = writer; }
  // The "tab" every envelope carries (what "new" named; null before).
  void SetTab(const Json::Value& tab);
  const Json::Value& Tab() const { return m_tab; }

  // Writes {"data", "event", "index", "tab"}; nothing when event is empty.
  // data == nullptr leaves "data" out; index -1 leaves "index" out. A text
  // result too long for one message goes out in pieces, anything else too
  // long is dropped.
  void WriteReply(const Json::Value* data, const std::string& event, int32_t index);
  // The reply of a text result (ANSI code page), in pieces when it is long:
  // what WriteReply does for a string value, without making one.
  void WriteText(const std::string& data, const std::string& event);
  // Frames the text (ANSI code page, up to its first NUL) as UTF-8.
  void WriteMessage(const std::string& text);
  // Sends a text result as replies of at most 500000 bytes of text each, cut
  // between characters; all but the last carry "index" 0, 1, 2, ...
  void WriteTextInPieces(const std::string& text, const std::string& event);
  // The same for a wide text (up to its first NUL), in the code page as
  // WideToAnsi gives it. Where the code page is UTF-8 the text is converted
  // a piece at a time into one reused buffer, not into a copy of it whole.
  void WriteWideTextInPieces(OleStringView text, const std::string& event);

 private:
  // The UTF-8 text of a reply envelope, built directly in the compact
  // writer's form; TextEnvelope for a text result (a piece of one).
  std::string EnvelopeText(const Json::Value* data, const std::string& event, int32_t index) const;
  // dataIsUtf8: data is valid UTF-8 without a NUL and is not looked at again.
  std::string TextEnvelope(std::string_view data, const std::string& event, int32_t index,
                           bool dataIsUtf8 = false) const;
  void AppendEnvelopeTail(std::string& text, const std::string& event, int32_t index) const;
  // Frames and writes UTF-8 text (a long one is handed to the writer without
  // a copy); drops (and logs) a text over the browser's limit.
  bool SendText(std::string&& utf8);
  // Where the pieces of a long text come from.
  class TextSource;
  void WritePieces(TextSource& source, const std::string& event);

  Json::Value m_tab;
  std::string m_tabTail;  // the envelope's end: ,"tab":<m_tab>}\n
  FrameWriter* m_pWriter = nullptr;
};
