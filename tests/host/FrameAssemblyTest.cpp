// Frame assembly of the relay pipe reader: message boundaries restored across
// any cut of the byte stream, the length prefix taken as raw bytes, and the
// text converted to the thread's code page on the way to the gate.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framing/FrameCodec.h"
#include "host/Readers.h"
#include "platform/CodePage.h"

namespace {

class RecordingSink : public MessageSink {
 public:
  bool IsStopping() const override { return stopping; }
  void SubmitMessage(const std::string& text) override { texts.push_back(text); }
  bool stopping = false;
  std::vector<std::string> texts;
};

class FrameAssembly : public ::testing::Test {
 protected:
  void SetUp() override { SetReaderSink(&sink); }
  void TearDown() override { SetReaderSink(nullptr); }

  // Feeds the stream to a fresh reader record, cut at the given offsets.
  std::vector<std::string> Feed(const std::string& stream, const std::vector<size_t>& cuts) {
    sink.texts.clear();
    auto state = std::make_unique<PipeReadState>();
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(stream.size());
    for (size_t to : ends) {
      AssembleFrames(reinterpret_cast<const uint8_t*>(stream.data()) + from, static_cast<DWORD>(to - from),
                     *state);
      from = to;
    }
    return sink.texts;
  }

  RecordingSink sink;
};

TEST_F(FrameAssembly, EveryCutIntoTwoOrThreeChunksGivesEachMessageOnceAndWhole) {
  const std::vector<std::string> messages = {R"({"method":"ping"})", R"({"method":"getVersion","event":"v"})"};
  const std::string stream = Frame(messages[0]) + Frame(messages[1]);
  for (size_t a = 0; a <= stream.size(); ++a) {
    EXPECT_EQ(Feed(stream, {a}), messages) << "cut at " << a;
    for (size_t b = a; b <= stream.size(); ++b) EXPECT_EQ(Feed(stream, {a, b}), messages) << a << "," << b;
  }
}

TEST_F(FrameAssembly, ByteByByteAndInsideThePrefix) {
  const std::string stream = Frame("{\"a\":1}");
  std::vector<size_t> cuts;
  for (size_t i = 1; i < stream.size(); ++i) cuts.push_back(i);
  EXPECT_EQ(Feed(stream, cuts), std::vector<std::string>{"{\"a\":1}"});
  // One prefix byte at the end of a chunk, three at the start of the next.
  EXPECT_EQ(Feed(stream, {1}), std::vector<std::string>{"{\"a\":1}"});
  EXPECT_EQ(Feed(stream, {3}), std::vector<std::string>{"{\"a\":1}"});
}

TEST_F(FrameAssembly, SeveralMessagesInOneChunkKeepTheirOrder) {
  std::string stream;
  std::vector<std::string> expected;
  for (int i = 0; i < 20; ++i) {
    expected.push_back("{\"n\":" + std::to_string(i) + "}");
    stream += Frame(expected.back());
  }
  EXPECT_EQ(Feed(stream, {}), expected);
}

TEST_F(FrameAssembly, AMessageLongerThanAChunkSpansManyReads) {
  const std::string text = "{\"pad\":\"" + std::string(5000, 'x') + "\"}";
  const std::string stream = Frame(text);
  std::vector<size_t> cuts;
  for (size_t at = kPipeChunkBytes; at < stream.size(); at += kPipeChunkBytes) cuts.push_back(at);
  EXPECT_EQ(Feed(stream, cuts), std::vector<std::string>{text});
}

TEST_F(FrameAssembly, PrefixBytesThatLookLikeLineEndsAreTakenAsTheyAre) {
  // Bytes 0x0D 0x0A (a CR LF pair) are the length 0x0A0D = 2573; 0x1A (the
  // old end-of-file character) is 26.
  const std::string big(2573, 'b');
  const std::string small(26, 's');
  std::string stream = std::string("\x0D\x0A\x00\x00", 4) + big + std::string("\x1A\x00\x00\x00", 4) + small;
  EXPECT_EQ(Feed(stream, {2, 1000, 2579}), (std::vector<std::string>{big, small}));
}

TEST_F(FrameAssembly, AnEmptyMessageIsSubmittedAsEmptyText) {
  EXPECT_EQ(Feed(Frame("") + Frame("x"), {}), (std::vector<std::string>{"", "x"}));
}

TEST_F(FrameAssembly, ABodyIsSubmittedUpToItsFirstNul) {
  EXPECT_EQ(Feed(Frame(std::string("{\"a\":1}\0tail", 12)) + Frame("next"), {}),
            (std::vector<std::string>{"{\"a\":1}", "next"}));
}

TEST_F(FrameAssembly, AnIncompleteMessageIsNeverSubmitted) {
  const std::string stream = Frame("{\"method\":\"exit\"}");
  EXPECT_TRUE(Feed(stream.substr(0, stream.size() - 1), {}).empty());
  EXPECT_TRUE(Feed(stream.substr(0, 3), {}).empty());
}

TEST_F(FrameAssembly, TextIsConvertedToASingleByteCodePage) {
  ASSERT_TRUE(SetThreadCodePage("WINDOWS-1252"));
  // e-acute and the euro sign exist in the code page; the CJK character does not.
  auto texts = Feed(Frame("caf\xC3\xA9 \xE2\x82\xAC \xE5\xAD\x97!"), {6});
  SetThreadCodePage("UTF-8");
  EXPECT_EQ(texts, std::vector<std::string>{"caf\xE9 \x80 ?!"});
}

}  // namespace
