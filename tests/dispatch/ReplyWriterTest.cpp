// The reply envelope and output framing, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "dispatch/ReplyWriter.h"
#include "framing/ByteSink.h"
#include "framing/FrameCodec.h"
#include "framing/FrameWriter.h"
#include "platform/CodePage.h"
#include "platform/Kernel.h"

namespace {

struct Captured {
  std::vector<std::string> frames;  // whole frames: prefix + text
  std::vector<Json::Value> Messages() const {
    std::vector<Json::Value> out;
    for (const std::string& f : frames) {
      Json::Value v;
      Json::Reader().parse(f.substr(4), v);
      out.push_back(v);
    }
    return out;
  }
};

class ReplyWriterTest : public ::testing::Test {
 protected:
  ReplyWriterTest() {
    SetThreadCodePage("UTF-8");
    replies.SetFrameWriter(&writer);
  }
  ~ReplyWriterTest() override { SetThreadCodePage("UTF-8"); }
  static std::string Prefix(uint32_t n) {
    char prefix[kFramePrefixBytes];
    EncodeFrameLength(n, prefix);
    return std::string(prefix, kFramePrefixBytes);
  }
  Captured out;
  FunctionSink sink{[this](const char* b, size_t n) {
    out.frames.emplace_back(b, n);
    return true;
  }};
  FrameWriter writer{sink, FrameWriter::Mode::Inline};
  ReplyWriter replies;
};

TEST_F(ReplyWriterTest, EnvelopeBytes) {
  Json::Value data("v1");
  replies.WriteReply(&data, "e", -1);
  replies.WriteReply(nullptr, "e", 0);
  replies.WriteReply(&data, "", -1);
  ASSERT_EQ(out.frames.size(), 2u) << "an empty event name writes nothing";
  std::string first = "{\"data\":\"v1\",\"event\":\"e\",\"tab\":null}\n";
  EXPECT_EQ(out.frames[0], Prefix(static_cast<uint32_t>(first.size())) + first);
  EXPECT_EQ(out.frames[1].substr(4), "{\"event\":\"e\",\"index\":0,\"tab\":null}\n");
}

TEST_F(ReplyWriterTest, PingIsFramedWithoutNewline) {
  replies.WriteMessage("{\"method\":\"ping\"}");
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.frames[0], std::string("\x11\x00\x00\x00", 4) + "{\"method\":\"ping\"}");
}

TEST_F(ReplyWriterTest, PrefixCountsUtf8BytesAndSecondByteIsUsed) {
  replies.WriteMessage(std::string(300, 'x'));
  EXPECT_EQ(out.frames[0].substr(0, 4), std::string("\x2C\x01\x00\x00", 4));
  SetThreadCodePage("WINDOWS-1252");
  Json::Value data("caf\xE9");  // é in the thread's code page
  replies.WriteReply(&data, "e", -1);
  std::string text = "{\"data\":\"caf\xC3\xA9\",\"event\":\"e\",\"tab\":null}\n";
  EXPECT_EQ(out.frames[1], Prefix(static_cast<uint32_t>(text.size())) + text)
      << "raw UTF-8 on the wire, counted in bytes";
}

TEST_F(ReplyWriterTest, TextIsTakenUpToItsFirstNul) {
  replies.WriteMessage(std::string("ab\0cd", 5));
  EXPECT_EQ(out.frames[0], std::string("\x02\x00\x00\x00" "ab", 6));
}

TEST_F(ReplyWriterTest, PiecesOfAtMost500000Bytes) {
  auto sizes = [&](size_t n) {
    out.frames.clear();
    replies.WriteTextInPieces(std::string(n, 'A'), "r");
    std::vector<std::pair<size_t, int>> s;  // (data length, index or -1)
    for (const Json::Value& m : out.Messages())
      s.emplace_back(m["data"].asString().size(), m.isMember("index") ? m["index"].asInt() : -1);
    return s;
  };
  using V = std::vector<std::pair<size_t, int>>;
  EXPECT_EQ(sizes(500000), (V{{500000, -1}}));
  EXPECT_EQ(sizes(500001), (V{{500000, 0}, {1, -1}}));
  EXPECT_EQ(sizes(1000000), (V{{500000, 0}, {500000, -1}}));
  EXPECT_EQ(sizes(0), (V{{0, -1}})) << "an empty text still gets one reply";
  out.frames.clear();
  replies.WriteTextInPieces(std::string(600000, 'A'), "");
  EXPECT_TRUE(out.frames.empty()) << "no event name, no reply, in pieces or not";
  EXPECT_EQ(sizes(1250000), (V{{500000, 0}, {500000, 1}, {250000, -1}}));
}

TEST_F(ReplyWriterTest, PiecesAreCutBetweenCharacters) {
  // 499999 ASCII bytes then a 2-byte character: cutting at 500000 would split it.
  std::string text = std::string(499999, 'a') + "\xC3\xA9" + "z";
  replies.WriteTextInPieces(text, "r");
  auto messages = out.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]["data"].asString().size(), 499999u);
  EXPECT_EQ(messages[1]["data"].asString(), "\xC3\xA9z");
  EXPECT_EQ(messages[0]["data"].asString() + messages[1]["data"].asString(), text);
}

TEST_F(ReplyWriterTest, NoFrameExceedsTheBrowsersLimit) {
  // Control characters are escaped six-fold: pieces shrink until they fit.
  std::string control(600000, '\x01');
  replies.WriteTextInPieces(control, "r");
  std::string joined;
  for (const std::string& f : out.frames) EXPECT_LE(f.size() - 4, 1048576u);
  for (const Json::Value& m : out.Messages()) joined += m["data"].asString();
  EXPECT_EQ(joined, control);

  // A plain text result over the limit goes out in pieces too, never as one frame.
  out.frames.clear();
  Json::Value big(std::string(2000000, 'b'));
  replies.WriteReply(&big, "t", -1);
  ASSERT_EQ(out.frames.size(), 4u);
  for (const std::string& f : out.frames) EXPECT_LE(f.size() - 4, 1048576u);

  // Anything else over the limit is dropped; the connection stays usable.
  out.frames.clear();
  Json::Value list(Json::arrayValue);
  for (int i = 0; i < 200000; ++i) list.append("0123456789");
  replies.WriteReply(&list, "t", -1);
  replies.WriteMessage(std::string(1048577, 'x'));
  EXPECT_TRUE(out.frames.empty());
  replies.WriteMessage(std::string(1048576, 'x'));
  EXPECT_EQ(out.frames.size(), 1u) << "exactly the limit is accepted";
}

TEST_F(ReplyWriterTest, AnEnvelopeOverTheLimitWithoutItsTextIsDroppedAtOnce) {
  static int notes = 0;
  notes = 0;
  SetDebugOutputSink([](const char*) { ++notes; });
  Json::Value text(std::string(20000, 't'));
  replies.WriteReply(&text, std::string(1100000, 'e'), -1);
  SetDebugOutputSink(nullptr);
  EXPECT_TRUE(out.frames.empty());
  EXPECT_EQ(notes, 1) << "one drop, not one per shrinking piece";
}

TEST_F(ReplyWriterTest, AWideTextConvertedPieceByPieceGivesTheFramesOfItsWholeConversion) {
  // What readBase64 and friends send: the same frames as converting the
  // whole text first, for every kind of character, at and around the cuts.
  auto frames = [this](OleStringView wide) {
    out.frames.clear();
    replies.WriteWideTextInPieces(wide, "r");
    std::vector<std::string> streamed = out.frames;
    out.frames.clear();
    replies.WriteTextInPieces(WideToAnsi(wide), "r");
    return std::make_pair(streamed, out.frames);
  };
  OleString mixed;
  const OleString kinds[] = {u"a", u"\u00e9", u"\u4e2d", u"\xD83D\xDE00", u"\xD800", u"\xDC00", u"\"", u"\x01"};
  for (size_t i = 0; mixed.size() < 1300000; ++i) mixed += kinds[(i * 7 + i / 5) % 8];
  OleString pairAtCut = OleString(499999, u'b') + u"\xD83D\xDE00" + OleString(10, u'c');
  OleString escapes(600000, u'\x01');  // pieces shrink to fit
  OleString nul = OleString(700003, u'd') + OleString(1, u'\0') + u"after";
  for (const OleString& text : {mixed, pairAtCut, escapes, nul, OleString(), OleString(500000, u'e')}) {
    auto [streamed, whole] = frames(text);
    EXPECT_GE(streamed.size(), 1u);
    EXPECT_TRUE(streamed == whole) << "a text of " << text.size() << " units";
  }
}

TEST_F(ReplyWriterTest, PiecesAreCutBetweenCharactersInADoubleByteCodePage) {
  // GB18030: two-byte characters, and four-byte ones; an odd limit falls
  // inside one of them unless the cut backs off.
  ASSERT_TRUE(SetThreadCodePage("GB18030"));
  const std::string han = "\xD6\xD0";              // U+4E2D
  const std::string four = "\x81\x30\x81\x30";     // U+0080
  std::string text = "a";
  while (text.size() < 1200000) text += han + four + han;
  replies.WriteTextInPieces(text, "r");
  std::string joined;
  for (const Json::Value& m : out.Messages()) joined += m["data"].asString();
  SetThreadCodePage("UTF-8");
  ASSERT_GE(out.frames.size(), 3u);
  // The pieces came out as UTF-8: joined, they are the whole text converted.
  SetThreadCodePage("GB18030");
  std::string want = AnsiToUtf8(text);
  SetThreadCodePage("UTF-8");
  EXPECT_EQ(joined.size(), want.size());
  EXPECT_TRUE(joined == want) << "a character was cut between two pieces";
}

}  // namespace
