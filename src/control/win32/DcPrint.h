// Pictures drawn on the printer's device context: one page per copy, the picture scaled to fit the printable area
// with its aspect ratio kept and centred on it. The page comes from the
// printer's DEVMODE with the job's paper, orientation and colour (checked
// against what the driver reports), then CreateDC, StartDoc,
// StartPage, StretchDIBits, EndPage, EndDoc.
#pragma once

#include <windows.h>

#include <string>

#include "control/win32/ImageDecode.h"

struct PageSettings {
  std::string paper;      // "" keeps the printer's
  bool landscape = false;
  int copies = 1;         // 1 to 999
  std::string colorMode;  // "", "color" or "monochrome" (the caller has made the picture grey)
};

// *jobId is the spooler's id of the document. False with *code
// ("optionUnsupported" for a paper or colour the printer lacks,
// "printerError", "submitFailed") and *error.
bool PrintImage(const std::string& printer, const std::string& title, const DecodedImage& image,
                const PageSettings& page, DWORD* jobId, std::string* code, std::string* error);

// Where a width x height picture goes in an area of areaWidth x areaHeight
// device units whose units are dpiX by dpiY: as large as fits with square
// pixels, centred.
RECT FitPicture(uint32_t width, uint32_t height, int areaWidth, int areaHeight, int dpiX, int dpiY);
