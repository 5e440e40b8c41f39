// The members about this machine and this control.
#include <algorithm>

#include "control/render/ChromiumRenderer.h"
#include "control/base/ControlText.h"
#include "control/printing/CupsClient.h"
#include "control/members/AbsoluteUrl.h"
#include "control/members/SiteActions.h"
#include "control/members/SystemActions.h"
#include "control/members/AutomationToJson.h"
#include "control/base/ControlPaths.h"
#include "platform/JsonDispatch.h"
#include "control/object/PrinterControlObject.h"
#include "control/formats/SystemInfo.h"

HRESULT CLinuxPrinterControl::getVersion(BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::getVersion");
  SetBstrResult(result, ControlVersion());
  return S_OK;
}

HRESULT CLinuxPrinterControl::getFonts(VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::getFonts");
  if (result) JsonToResultVariant(FontFamilyList(), result);
  return S_OK;
}

// Keyed per site unless control.json asks for the raw values (DeviceIds.h).
HRESULT CLinuxPrinterControl::getLocalMacAddress(BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::getLocalMacAddress");
  SetBstrResult(result, MacAddressForSite(m_defaults.origin));
  return S_OK;
}

HRESULT CLinuxPrinterControl::getCPUSerialNo(BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::getCPUSerialNo");
  SetBstrResult(result, CpuSerialForSite(m_defaults.origin));
  return S_OK;
}

HRESULT CLinuxPrinterControl::isPrintableFileType(BSTR type, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::isPrintableFileType");
  if (result) *result = IsPrintableType(BstrToUtf8(type)) ? TRUE : FALSE;
  return S_OK;
}

const std::vector<std::string>& CLinuxPrinterControl::ImplementedMembers() {
  // chooseFile and showPageSetupDialog are left out: without a dialog they
  // can only answer "nothing chosen".
  static const std::vector<std::string> names = {
      "print", "printPreview", "getPrinters", "getVersion", "getFonts", "setPageURL", "getLocalMacAddress",
      "getCPUSerialNo", "setupNormalOffset", "getPrinterStatus", "printToPDF", "openFile", "exportAsExcel",
      "getAbsoluteURL", "printTIFF", "getPapers", "isCustomPaperSupported", "isImplemented", "isExcelInstalled",
      "getDefaultPrinter", "getLastSettings", "setLastSettings", "clearLastSettings", "setDefaultPrinter",
      "setDragCSS", "getPrinterInfo", "copied", "copy", "writeString", "readString", "readHTML", "writeBase64",
      "download", "liveUpdate", "about", "readBase64", "exportAsImage", "printToImage", "setPrintBackground",
      "setHostCode", "setOffsetPage", "printDocument", "isPrintableFileType"};
  return names;
}

HRESULT CLinuxPrinterControl::isImplemented(BSTR name, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::isImplemented");
  const std::string member = BstrToUtf8(name);
  const auto& names = ImplementedMembers();
  if (result) *result = std::find(names.begin(), names.end(), member) != names.end() ? TRUE : FALSE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::isExcelInstalled(BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::isExcelInstalled");
  // Workbooks are written by libxlsxwriter, linked into the control.
  if (result) *result = TRUE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::getAbsoluteURL(BSTR url, VARIANT* base, BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::getAbsoluteURL");
  const Json::Value given = base ? VariantToJsonValue(*base) : Json::Value();
  std::string absolute;
  if (AbsoluteUrl(BstrToUtf8(url), given, m_defaults.pageUrl, &absolute)) SetBstrResult(result, absolute);
  return S_OK;
}

HRESULT CLinuxPrinterControl::liveUpdate(BSTR, BSTR version, LONG* result) {
  m_thread.Check("CLinuxPrinterControl::liveUpdate");
  // Updates come with the system's packages; this only says whether one is due:
  // 1 when the given version is newer than this control, 0 when not, -1 when
  // the version cannot be read.
  int order = 0;
  LONG answer = -1;
  if (CompareVersions(BstrToUtf8(version), ControlVersion(), &order)) answer = order > 0 ? 1 : 0;
  if (result) *result = answer;
  return S_OK;
}

HRESULT CLinuxPrinterControl::about() {
  m_thread.Check("CLinuxPrinterControl::about");
  Json::Value details(Json::objectValue);
  const std::string chromium = ChromiumRenderer::Find();
  details["chromium"] = chromium;
  details["jobProcess"] = FindJobExecutable();
  details["scheduler"] = CupsClient::ServerName();
  const std::string summary =
      "CUPS at " + CupsClient::ServerName() + (chromium.empty() ? ", no chromium" : ", " + chromium);
  m_events->Push(AboutLine("Kestrix printing control for Linux", m_hostCode, details, summary));
  return S_OK;
}
