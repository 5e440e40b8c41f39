// The length codec of the wire: every message, in both directions, is its
// length in bytes as a 4-byte little-endian unsigned integer, then the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t kFramePrefixBytes = 4;

// Writes n into out[0..3], least significant byte first.
void EncodeFrameLength(uint32_t n, char* out);
// Reads the length from p[0..3]; every byte is taken as it is (0x0A, 0x1A, ...).
uint32_t DecodeFrameLength(const unsigned char* p);
inline uint32_t DecodeFrameLength(const char* p) {
  return DecodeFrameLength(reinterpret_cast<const unsigned char*>(p));
}
// Appends the prefix and the text to out. The caller keeps text under 4 GiB.
void AppendFrame(std::string& out, std::string_view text);
// The frame of one text.
std::string Frame(std::string_view text);
