#include "framing/FrameCodec.h"

void EncodeFrameLength(uint32_t n, char* out) {
  for (size_t i = 0; i < kFramePrefixBytes; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
}

uint32_t DecodeFrameLength(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void AppendFrame(std::string& out, std::string_view text) {
  char prefix[kFramePrefixBytes];
  EncodeFrameLength(static_cast<uint32_t>(text.size()), prefix);
  out.append(prefix, kFramePrefixBytes);
  out.append(text);
}

std::string Frame(std::string_view text) {
  std::string out;
  out.reserve(kFramePrefixBytes + text.size());
  AppendFrame(out, text);
  return out;
}
