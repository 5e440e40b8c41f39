// The site's files (openFile too), its kept settings and its device ids on
// Windows: what each does is the Linux control's (control/members/SiteActions.h),
// for the site of the page's address, with files under %LOCALAPPDATA%\Kestrix\files
// and settings and control.json under %APPDATA%\Kestrix (ControlPaths.h).
#include "control/base/ControlText.h"
#include "control/members/SiteActions.h"
#include "control/members/AutomationToJson.h"
#include "control/win32/WinPrinterControl.h"
#include "platform/JsonDispatch.h"

FileStore CWinPrinterControl::Files() const { return FileStore::ForSite(m_origin.Key()); }

void CWinPrinterControl::Report(const MemberFailure& failure) { Report(failure.code, failure.message); }

HRESULT CWinPrinterControl::readString(BSTR path, BSTR encoding, BSTR* result) {
  if (!Allowed()) return Refuse("readString");
  std::string text;
  MemberFailure failure;
  if (ReadFileText(Files(), BstrToUtf8(path), BstrToUtf8(encoding), &text, &failure)) SetBstrResult(result, text);
  else Report(failure);
  return S_OK;
}

HRESULT CWinPrinterControl::writeString(BSTR path, BSTR text, BSTR encoding, BOOL* result) {
  if (!Allowed()) return Refuse("writeString");
  MemberFailure failure;
  const bool written = WriteFileText(Files(), BstrToUtf8(path), BstrToUtf8(text), BstrToUtf8(encoding), &failure);
  if (!written) Report(failure);
  if (result) *result = written ? TRUE : FALSE;
  return S_OK;
}

HRESULT CWinPrinterControl::readHTML(BSTR path, BSTR encoding, BSTR* result) {
  if (!Allowed()) return Refuse("readHTML");
  std::string text;
  MemberFailure failure;
  if (ReadFileHtml(Files(), BstrToUtf8(path), BstrToUtf8(encoding), &text, &failure)) SetBstrResult(result, text);
  else Report(failure);
  return S_OK;
}

HRESULT CWinPrinterControl::readBase64(BSTR path, BSTR* result) {
  if (!Allowed()) return Refuse("readBase64");
  std::string base64;
  MemberFailure failure;
  if (ReadFileBase64(Files(), BstrToUtf8(path), &base64, &failure)) SetBstrResult(result, base64);
  else Report(failure);
  return S_OK;
}

HRESULT CWinPrinterControl::writeBase64(BSTR path, BSTR data, BOOL* result) {
  if (!Allowed()) return Refuse("writeBase64");
  MemberFailure failure;
  const bool written = WriteFileBase64(Files(), BstrToUtf8(path), BstrToUtf8(data), &failure);
  if (!written) Report(failure);
  if (result) *result = written ? TRUE : FALSE;
  return S_OK;
}

HRESULT CWinPrinterControl::copy(BSTR source, BSTR target) {
  if (!Allowed()) return Refuse("copy");
  MemberFailure failure;
  if (!CopySiteFile(Files(), BstrToUtf8(source), BstrToUtf8(target), &failure)) Report(failure);
  return S_OK;
}

HRESULT CWinPrinterControl::copied(BSTR path, BSTR* result) {
  if (!Allowed()) return Refuse("copied");
  // The real path as Windows writes it ("C:\...").
  std::string found = Files().Locate(BstrToUtf8(path));
  for (char& c : found)
    if (c == '/') c = '\\';
  if (!found.empty()) SetBstrResult(result, found);
  return S_OK;
}

HRESULT CWinPrinterControl::openFile(BSTR path) {
  if (!Allowed()) return Refuse("openFile");
  // Through the shell's "open" verb, for documents only.
  MemberFailure failure;
  if (!OpenSiteFile(Files(), BstrToUtf8(path), &failure)) Report(failure);
  return S_OK;
}

HRESULT CWinPrinterControl::getLastSettings(BSTR key, VARIANT* result) {
  if (!Allowed()) return Refuse("getLastSettings");
  Json::Value value = KeptSetting(m_origin, BstrToUtf8(key));
  if (result) {
    ::VariantClear(result);
    if (!value.isNull()) JsonToResultVariant(value, result);  // none kept: empty
  }
  return S_OK;
}

HRESULT CWinPrinterControl::setLastSettings(BSTR key, VARIANT* settings) {
  if (!Allowed()) return Refuse("setLastSettings");
  MemberFailure failure;
  if (!KeepSetting(m_origin, BstrToUtf8(key), settings ? VariantToJsonValue(*settings) : Json::Value(), &failure))
    Report(failure);
  return S_OK;
}

HRESULT CWinPrinterControl::clearLastSettings(BSTR key) {
  if (!Allowed()) return Refuse("clearLastSettings");
  MemberFailure failure;
  if (!ClearSetting(m_origin, BstrToUtf8(key), &failure)) Report(failure);
  return S_OK;
}

HRESULT CWinPrinterControl::getLocalMacAddress(BSTR* result) {
  if (!Allowed()) return Refuse("getLocalMacAddress");
  SetBstrResult(result, MacAddressForSite(m_origin));
  return S_OK;
}

HRESULT CWinPrinterControl::getCPUSerialNo(BSTR* result) {
  if (!Allowed()) return Refuse("getCPUSerialNo");
  SetBstrResult(result, CpuSerialForSite(m_origin));
  return S_OK;
}
