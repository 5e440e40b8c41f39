// The length codec and the frame decoder: boundaries restored across any cut
// of the stream, prefix bytes taken as they are, and a frame whose body
// cannot be held skipped without losing the frames after it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "framing/FrameCodec.h"
#include "framing/FrameDecoder.h"

namespace {

// Feeds the stream cut at the given offsets; returns the frames decoded.
std::vector<std::string> Decode(FrameDecoder& decoder, const std::string& stream, std::vector<size_t> cuts) {
  std::vector<std::string> out;
  cuts.push_back(stream.size());
  size_t from = 0;
  for (size_t to : cuts) {
    const auto* piece = reinterpret_cast<const uint8_t*>(stream.data()) + from;
    size_t n = to - from, pos = 0, used = 0;
    std::string_view frame;
    while (pos < n && decoder.Next(piece + pos, n - pos, &used, &frame)) {
      pos += used;
      out.emplace_back(frame);
    }
    from = to;
  }
  return out;
}

std::vector<std::string> Decode(const std::string& stream, std::vector<size_t> cuts) {
  FrameDecoder decoder;
  return Decode(decoder, stream, std::move(cuts));
}

TEST(FrameCodec, LittleEndianWithEveryByteTakenAsItIs) {
  EXPECT_EQ(Frame(std::string(300, 'x')).substr(0, 4), std::string("\x2C\x01\x00\x00", 4));
  EXPECT_EQ(DecodeFrameLength("\x0D\x0A\x00\x00"), 0x0A0Du);
  EXPECT_EQ(DecodeFrameLength("\xF0\xFF\xFF\xFF"), 0xFFFFFFF0u);
  char prefix[4];
  EncodeFrameLength(0x1A0D0A01u, prefix);
  EXPECT_EQ(std::string(prefix, 4), "\x01\x0A\x0D\x1A");
}

TEST(FrameDecoder, EveryCutIntoTwoOrThreePiecesGivesEachFrameOnceAndWhole) {
  const std::vector<std::string> frames = {"{\"method\":\"ping\"}", "", "{\"n\":2}"};
  std::string stream;
  for (const std::string& f : frames) stream += Frame(f);
  for (size_t a = 0; a <= stream.size(); ++a) {
    EXPECT_EQ(Decode(stream, {a}), frames) << "cut at " << a;
    for (size_t b = a; b <= stream.size(); ++b) EXPECT_EQ(Decode(stream, {a, b}), frames) << a << "," << b;
  }
}

TEST(FrameDecoder, KeepsAnUnfinishedFrameForTheNextPiece) {
  FrameDecoder decoder;
  const std::string stream = Frame("abc") + Frame("defgh");
  EXPECT_EQ(Decode(decoder, stream.substr(0, 9), {}), std::vector<std::string>{"abc"});
  EXPECT_TRUE(decoder.InFrame());
  EXPECT_EQ(Decode(decoder, stream.substr(9), {}), std::vector<std::string>{"defgh"});
  EXPECT_FALSE(decoder.InFrame());
}

// Refuses every allocation above 1 MiB, as a process under a memory limit would.
void* SmallOnly(void* block, size_t bytes) { return bytes > (1u << 20) ? nullptr : std::realloc(block, bytes); }

TEST(FrameDecoder, AFrameThatCannotBeHeldIsSkippedAndTheNextStillComes) {
  FrameDecoder decoder;
  decoder.SetRealloc(SmallOnly);
  const std::string big(3u << 20, 'b');
  const std::string stream = Frame("first") + Frame(big) + Frame("after");
  // In pieces of 64 KiB, as the reader reads them.
  std::vector<size_t> cuts;
  for (size_t at = 65536; at < stream.size(); at += 65536) cuts.push_back(at);
  EXPECT_EQ(Decode(decoder, stream, cuts), (std::vector<std::string>{"first", "after"}));
  EXPECT_EQ(decoder.SkippedFrames(), 1u);
  // A frame that fits is held again afterwards.
  const std::string fits(1u << 19, 'f');
  EXPECT_EQ(Decode(decoder, Frame(fits), {100, 70000}), std::vector<std::string>{fits});
}

TEST(FrameDecoder, AHugeDeclaredLengthCostsOnlyWhatArrives) {
  // 0xFFFFFFF0 announced, 1 MiB sent: the buffer never asks for more than
  // a quarter beyond what has arrived.
  static size_t largest = 0;
  largest = 0;
  FrameDecoder decoder;
  decoder.SetRealloc([](void* block, size_t bytes) {
    largest = std::max(largest, bytes);
    return std::realloc(block, bytes);
  });
  std::string stream("\xF0\xFF\xFF\xFF", 4);
  stream += std::string(1u << 20, 'x');
  std::vector<size_t> cuts;
  for (size_t at = 4096; at < stream.size(); at += 4096) cuts.push_back(at);
  EXPECT_TRUE(Decode(decoder, stream, cuts).empty());
  EXPECT_TRUE(decoder.InFrame());
  EXPECT_LE(largest, (1u << 20) + (1u << 18) + 4096);
}

}  // namespace
