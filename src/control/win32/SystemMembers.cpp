// The members about this machine and this control on Windows, with the
// shapes of the Linux control (control/members/SystemActions.h).
#include "control/base/ControlText.h"
#include "control/formats/SystemInfo.h"
#include "control/members/AbsoluteUrl.h"
#include "control/members/AutomationToJson.h"
#include "control/members/SystemActions.h"
#include "control/win32/ImageDecode.h"
#include "control/win32/WinPrinterControl.h"
#include "platform/JsonDispatch.h"

HRESULT CWinPrinterControl::getFonts(VARIANT* result) {
  if (!Allowed()) return Refuse("getFonts");
  if (result) JsonToResultVariant(FontFamilyList(), result);
  return S_OK;
}

HRESULT CWinPrinterControl::isPrintableFileType(BSTR type, BOOL* result) {
  if (!Allowed()) return Refuse("isPrintableFileType");
  // What a job of this control can carry: the images it draws (raw bytes
  // have no file type). PDF, text and HTML are not printed here yet.
  if (result) *result = IsPrintableImageType(MimeTypeFor(BstrToUtf8(type))) ? TRUE : FALSE;
  return S_OK;
}

HRESULT CWinPrinterControl::getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) {
  if (!Allowed()) return Refuse("getAbsoluteURL");
  const Json::Value given = base ? VariantToJsonValue(*base) : Json::Value();
  std::string absolute;
  if (AbsoluteUrl(BstrToUtf8(url), given, m_pageUrl, &absolute)) SetBstrResult(result, absolute);
  return S_OK;
}

HRESULT CWinPrinterControl::about() {
  if (!Allowed()) return Refuse("about");
  m_events->Push(AboutLine("Kestrix printing control for Windows", m_hostCode, Json::Value(Json::objectValue),
                           "the Windows spooler; raw jobs and images"));
  return S_OK;
}
