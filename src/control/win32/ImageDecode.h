// Images for the printer's page: PNG, JPEG, GIF, BMP and TIFF bytes decoded
// with the Windows Imaging Component (reached through COM, so the control
// still loads where it is missing) into top-down 32-bit BGR pixels, any
// transparency laid over white paper. GIF and TIFF give their first frame.
//
// The caller's thread must have COM initialised. The decoded size is bounded:
// an image of more than kMaxImagePixels is refused from its header, before
// its pixels are allocated; so is the work: a JPEG of more than
// kMaxJpegScans scans (progressive JPEGs have about ten) is refused before
// it is decoded, and a GIF of more than kMaxGifFrames frames or
// kMaxGifPixels pixels in all its frames (a decoder may read them all).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DecodedImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // width * height * 4 bytes: B, G, R, unused
};

constexpr uint64_t kMaxImagePixels = 32ull << 20;  // 128 MiB of pixels
constexpr size_t kMaxJpegScans = 256;
constexpr size_t kMaxGifFrames = 10000;
constexpr uint64_t kMaxGifPixels = 256ull << 20;

// The MIME type of the image kinds above from their first bytes; "" for
// anything else.
std::string ImageTypeOf(const std::string& bytes);

// Turns the pixels grey (luma), for monochrome pages: drivers may print
// colour whatever the DEVMODE says (wine's PostScript driver does).
void MakeGray(DecodedImage* image);

// True for the MIME types DecodeImage takes.
bool IsPrintableImageType(const std::string& mime);

// False with *code "badImage" (not an image of those kinds, or damaged),
// "imageTooLarge" (beyond kMaxImagePixels or the bounds of JPEG scans and
// GIF frames, or no memory for it) or
// "imagingUnavailable" (no imaging component on the system), and *error.
bool DecodeImage(const std::string& bytes, DecodedImage* image, std::string* code, std::string* error);
