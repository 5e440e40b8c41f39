#include "control/win32/ImageDecode.h"

#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <new>

#include "platform/ComPtr.h"

namespace {

bool Fail(std::string* code, std::string* error, const char* c, const std::string& text) {
  *code = c;
  *error = text;
  return false;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
  return text;
}

// The scans (start-of-scan markers) of JPEG bytes, walking its segments:
// a segment is skipped by its length, so what a segment holds (a thumbnail,
// a comment) is not counted; between segments is a scan's coded data, where
// a 0xFF byte is followed by 0x00, a restart marker or the next marker.
size_t JpegScans(const std::string& bytes) {
  auto at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  size_t scans = 0;
  for (size_t i = 2; i + 1 < bytes.size();) {
    if (at(i) != 0xFF || at(i + 1) == 0xFF) {
      ++i;
      continue;
    }
    const uint8_t marker = at(i + 1);
    if (marker == 0xD9) break;  // end of image
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      i += 2;  // no length
      continue;
    }
    if (i + 3 >= bytes.size()) break;
    if (marker == 0xDA) ++scans;
    i += 2 + ((static_cast<size_t>(at(i + 2)) << 8) | at(i + 3));
  }
  return scans;
}

// The frames of GIF bytes and their pixels in all, walking its blocks
// (image descriptors, extensions, their sub-blocks) up to the trailer or
// to where the blocks stop making sense.
void GifFrames(const std::string& bytes, size_t* frames, uint64_t* pixels) {
  auto at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  auto skipSubBlocks = [&](size_t i) {
    while (i < bytes.size() && at(i) != 0) i += 1 + at(i);
    return i + 1;
  };
  *frames = 0;
  *pixels = 0;
  if (bytes.size() < 13) return;
  size_t i = 13;
  if (at(10) & 0x80) i += 3u << ((at(10) & 7) + 1);  // the global colour table
  while (i < bytes.size()) {
    const uint8_t block = at(i);
    if (block == 0x21 && i + 1 < bytes.size()) {
      i = skipSubBlocks(i + 2);
    } else if (block == 0x2C && i + 10 < bytes.size()) {
      ++*frames;
      *pixels += uint64_t{static_cast<uint16_t>(at(i + 5) | at(i + 6) << 8)} * (at(i + 7) | at(i + 8) << 8);
      size_t next = i + 10;
      if (at(i + 9) & 0x80) next += 3u << ((at(i + 9) & 7) + 1);  // a local colour table
      i = skipSubBlocks(next + 1);  // past the LZW code size
    } else {
      return;  // the trailer, or not a block
    }
  }
}

}  // namespace

std::string ImageTypeOf(const std::string& b) {
  auto starts = [&](const char* sig, size_t n) { return b.size() >= n && b.compare(0, n, sig, n) == 0; };
  if (starts("\x89PNG\r\n\x1a\n", 8)) return "image/png";
  if (starts("\xff\xd8\xff", 3)) return "image/jpeg";
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return "image/gif";
  if (starts("BM", 2) && b.size() >= 26) return "image/bmp";
  if (starts("II*\0", 4) || starts("MM\0*", 4)) return "image/tiff";
  return "";
}

void MakeGray(DecodedImage* image) {
  for (size_t i = 0; i + 3 < image->pixels.size(); i += 4) {
    uint8_t* p = &image->pixels[i];  // B, G, R
    const uint8_t gray = static_cast<uint8_t>((p[0] * 114 + p[1] * 587 + p[2] * 299 + 500) / 1000);
    p[0] = p[1] = p[2] = gray;
  }
}

bool IsPrintableImageType(const std::string& mime) {
  return mime == "image/png" || mime == "image/jpeg" || mime == "image/gif" || mime == "image/bmp" ||
         mime == "image/tiff";
}

bool DecodeImage(const std::string& bytes, DecodedImage* image, std::string* code, std::string* error) {
  *image = DecodedImage();
  // Each scan of a progressive JPEG is another pass over the whole picture:
  // a few bytes each, thousands would keep the jobs' thread busy for hours.
  // Counted before any decoder sees them: one may take in every scan at once.
  if (bytes.compare(0, 2, "\xff\xd8", 2) == 0) {
    const size_t scans = JpegScans(bytes);
    if (scans > kMaxJpegScans)
      return Fail(code, error, "imageTooLarge",
                  "the JPEG has " + std::to_string(scans) + " scans; at most " + std::to_string(kMaxJpegScans) +
                      " are decoded");
  }
  // Only the first frame of a GIF is printed, but a decoder may take in
  // every frame at once (wine's does): their number and pixels are bounded.
  if (bytes.compare(0, 3, "GIF", 3) == 0) {
    size_t frames = 0;
    uint64_t pixels = 0;
    GifFrames(bytes, &frames, &pixels);
    if (frames > kMaxGifFrames || pixels > kMaxGifPixels)
      return Fail(code, error, "imageTooLarge",
                  "the GIF has " + std::to_string(frames) + " frames of " + std::to_string(pixels) +
                      " pixels in all; at most " + std::to_string(kMaxGifFrames) + " frames and " +
                      std::to_string(kMaxGifPixels) + " pixels are read");
  }
  ComPtr<IWICImagingFactory> factory;
  HRESULT hr = ::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                  reinterpret_cast<void**>(&factory));
  if (FAILED(hr))
    return Fail(code, error, "imagingUnavailable",
                "images cannot be decoded: the Windows Imaging Component is not installed (" + Hex(hr) + ")");
  // The decoders take a stream over the caller's bytes; nothing is copied.
  ComPtr<IWICStream> stream;
  if (FAILED(hr = factory->CreateStream(&stream)) ||
      FAILED(hr = stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data())),
                                               static_cast<DWORD>(bytes.size()))))
    return Fail(code, error, "badImage", "the image cannot be read (" + Hex(hr) + ")");
  ComPtr<IWICBitmapDecoder> decoder;
  if (FAILED(hr = factory->CreateDecoderFromStream(stream.Get(), nullptr, WICDecodeMetadataCacheOnDemand, &decoder)))
    return Fail(code, error, "badImage", "the data is not a PNG, JPEG, GIF, BMP or TIFF image this system can read");
  // Only the kinds the control promises, whatever else the system decodes.
  GUID format{};
  decoder->GetContainerFormat(&format);
  if (format != GUID_ContainerFormatPng && format != GUID_ContainerFormatJpeg && format != GUID_ContainerFormatGif &&
      format != GUID_ContainerFormatBmp && format != GUID_ContainerFormatTiff)
    return Fail(code, error, "badImage", "the image is not PNG, JPEG, GIF, BMP or TIFF");
  ComPtr<IWICBitmapFrameDecode> frame;
  UINT width = 0, height = 0;
  if (FAILED(hr = decoder->GetFrame(0, &frame)) || FAILED(hr = frame->GetSize(&width, &height)))
    return Fail(code, error, "badImage", "the image has no readable picture (" + Hex(hr) + ")");
  if (width == 0 || height == 0) return Fail(code, error, "badImage", "the image has no pixels");
  const uint64_t pixels = static_cast<uint64_t>(width) * height;
  if (pixels > kMaxImagePixels)
    return Fail(code, error, "imageTooLarge",
                "the image is " + std::to_string(width) + " x " + std::to_string(height) + " pixels; at most " +
                    std::to_string(kMaxImagePixels) + " pixels are printed");
  ComPtr<IWICFormatConverter> converter;
  if (FAILED(hr = factory->CreateFormatConverter(&converter)) ||
      FAILED(hr = converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr,
                                        0.0, WICBitmapPaletteTypeCustom)))
    return Fail(code, error, "badImage", "the image's pixels cannot be converted (" + Hex(hr) + ")");
  try {
    image->pixels.resize(static_cast<size_t>(pixels) * 4);
  } catch (const std::bad_alloc&) {
    return Fail(code, error, "imageTooLarge", "not enough memory for a " + std::to_string(width) + " x " +
                                                  std::to_string(height) + " image");
  }
  if (FAILED(hr = converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(image->pixels.size()),
                                        image->pixels.data()))) {
    *image = DecodedImage();
    return Fail(code, error, "badImage", "the image is damaged: its pixels cannot be read (" + Hex(hr) + ")");
  }
  // Premultiplied colour over white paper: c + (255 - alpha).
  for (size_t i = 0; i < image->pixels.size(); i += 4) {
    const int clear = 255 - image->pixels[i + 3];
    for (size_t c = 0; c < 3; ++c)
      image->pixels[i + c] = static_cast<uint8_t>(std::min(255, image->pixels[i + c] + clear));
    image->pixels[i + 3] = 0;
  }
  image->width = width;
  image->height = height;
  return true;
}
