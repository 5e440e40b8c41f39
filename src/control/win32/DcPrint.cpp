#include "control/win32/DcPrint.h"

#include <winspool.h>

#include <algorithm>
#include <vector>

#include "control/win32/Spooler.h"
#include "control/win32/WideText.h"

namespace {

bool Fail(std::string* code, std::string* error, const char* c, const std::string& text) {
  *code = c;
  *error = text;
  return false;
}

// The printer's DEVMODE with the job's settings merged in by its driver.
bool MakeDevMode(const std::string& printer, const PageSettings& page, std::vector<BYTE>* buffer, std::string* code,
                 std::string* error) {
  std::wstring name = Wide(printer);
  HANDLE handle = nullptr;
  PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
  if (!::OpenPrinterW(name.data(), &handle, &defaults))
    return Fail(code, error, "printerError",
                "cannot open printer '" + printer + "': " + SystemMessage(::GetLastError()));
  const LONG size = ::DocumentPropertiesW(nullptr, handle, name.data(), nullptr, nullptr, 0);
  bool ok = size >= static_cast<LONG>(sizeof(DEVMODEW));
  if (ok) {
    buffer->assign(static_cast<size_t>(size), 0);
    auto* mode = reinterpret_cast<DEVMODEW*>(buffer->data());
    ok = ::DocumentPropertiesW(nullptr, handle, name.data(), mode, nullptr, DM_OUT_BUFFER) == IDOK;
    if (ok) {
      mode->dmFields |= DM_ORIENTATION;
      mode->dmOrientation = page.landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
      if (!page.colorMode.empty()) {
        mode->dmFields |= DM_COLOR;
        mode->dmColor = page.colorMode == "color" ? DMCOLOR_COLOR : DMCOLOR_MONOCHROME;
      }
      WORD paper = 0;
      if (!page.paper.empty()) {
        std::string paperError;
        if (!spooler::PaperId(printer, page.paper, &paper, &paperError)) {
          ::ClosePrinter(handle);
          return Fail(code, error, "optionUnsupported", paperError);
        }
        mode->dmFields |= DM_PAPERSIZE;
        mode->dmFields &= ~static_cast<DWORD>(DM_PAPERLENGTH | DM_PAPERWIDTH | DM_FORMNAME);
        mode->dmPaperSize = static_cast<short>(paper);
      }
      std::vector<BYTE> asked(*buffer);
      ok = ::DocumentPropertiesW(nullptr, handle, name.data(), mode, reinterpret_cast<DEVMODEW*>(asked.data()),
                                 DM_IN_BUFFER | DM_OUT_BUFFER) == IDOK;
    }
  }
  const DWORD failure = ::GetLastError();
  ::ClosePrinter(handle);
  if (!ok)
    return Fail(code, error, "printerError",
                "the driver of '" + printer + "' gives no page settings: " + SystemMessage(failure));
  return true;
}

}  // namespace

RECT FitPicture(uint32_t width, uint32_t height, int areaWidth, int areaHeight, int dpiX, int dpiY) {
  // In inches per picture pixel: the smaller of the two that fill the area.
  const double across = static_cast<double>(areaWidth) / dpiX / width;
  const double down = static_cast<double>(areaHeight) / dpiY / height;
  const double scale = std::min(across, down);
  const int w = std::max(1, static_cast<int>(width * scale * dpiX + 0.5));
  const int h = std::max(1, static_cast<int>(height * scale * dpiY + 0.5));
  const int left = (areaWidth - w) / 2, top = (areaHeight - h) / 2;
  return RECT{left, top, left + w, top + h};
}

bool PrintImage(const std::string& printer, const std::string& title, const DecodedImage& image,
                const PageSettings& page, DWORD* jobId, std::string* code, std::string* error) {
  *jobId = 0;
  if (page.colorMode == "color") {
    const std::wstring name = Wide(printer);
    if (::DeviceCapabilitiesW(name.c_str(), nullptr, DC_COLORDEVICE, nullptr, nullptr) != 1)
      return Fail(code, error, "optionUnsupported", "printer '" + printer + "' has no colour mode 'color'");
  }
  std::vector<BYTE> devmode;
  if (!MakeDevMode(printer, page, &devmode, code, error)) return false;
  const auto* mode = reinterpret_cast<const DEVMODEW*>(devmode.data());
  // GDI ignores the driver name for printers.
  HDC dc = ::CreateDCW(nullptr, Wide(printer).c_str(), nullptr, mode);
  if (!dc)
    return Fail(code, error, "printerError",
                "cannot draw on printer '" + printer + "': " + SystemMessage(::GetLastError()));
  // Copies are pages of their own: wine's PostScript driver takes a DEVMODE
  // copy count and prints one.
  const int pages = page.copies;
  const std::wstring docName = Wide(title);
  DOCINFOW info{sizeof info, docName.c_str(), nullptr, nullptr, 0};
  const int started = ::StartDocW(dc, &info);
  bool ok = started > 0;
  std::string failed = "StartDoc";
  const int areaWidth = ::GetDeviceCaps(dc, HORZRES), areaHeight = ::GetDeviceCaps(dc, VERTRES);
  const int dpiX = ::GetDeviceCaps(dc, LOGPIXELSX), dpiY = ::GetDeviceCaps(dc, LOGPIXELSY);
  if (ok && (areaWidth <= 0 || areaHeight <= 0 || dpiX <= 0 || dpiY <= 0)) {
    ::AbortDoc(dc);
    ::DeleteDC(dc);
    return Fail(code, error, "printerError", "the driver of '" + printer + "' reports no printable area");
  }
  if (ok) {
    *jobId = static_cast<DWORD>(started);
    const RECT to = FitPicture(image.width, image.height, areaWidth, areaHeight, dpiX, dpiY);
    BITMAPINFO bits{};
    bits.bmiHeader.biSize = sizeof bits.bmiHeader;
    bits.bmiHeader.biWidth = static_cast<LONG>(image.width);
    bits.bmiHeader.biHeight = -static_cast<LONG>(image.height);  // top-down
    bits.bmiHeader.biPlanes = 1;
    bits.bmiHeader.biBitCount = 32;
    bits.bmiHeader.biCompression = BI_RGB;
    ::SetStretchBltMode(dc, HALFTONE);
    ::SetBrushOrgEx(dc, 0, 0, nullptr);
    for (int i = 0; ok && i < pages; ++i) {
      if (::StartPage(dc) <= 0) {
        ok = false, failed = "StartPage";
      } else if (::StretchDIBits(dc, to.left, to.top, to.right - to.left, to.bottom - to.top, 0, 0,
                                 static_cast<int>(image.width), static_cast<int>(image.height), image.pixels.data(),
                                 &bits, DIB_RGB_COLORS, SRCCOPY) == static_cast<int>(GDI_ERROR)) {
        ok = false, failed = "StretchDIBits";
      } else if (::EndPage(dc) <= 0) {
        ok = false, failed = "EndPage";
      }
    }
    if (ok && ::EndDoc(dc) <= 0) ok = false, failed = "EndDoc";
    if (!ok) ::AbortDoc(dc);
  }
  const DWORD failure = ::GetLastError();
  ::DeleteDC(dc);
  if (!ok)
    return Fail(code, error, "submitFailed",
                "printing on '" + printer + "' failed at " + failed + ": " + SystemMessage(failure));
  return true;
}
