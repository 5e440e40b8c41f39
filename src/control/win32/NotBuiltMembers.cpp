// Members not built in the Windows control yet. Each refuses as the Linux
// control refuses: OnMessage {"type": "error", "code": "notBuilt", ...}, and
// for a job also OnDone "error"; results stay empty or false. None claims
// success, and isImplemented answers false for all of them.
#include "control/win32/WinPrinterControl.h"

namespace {
void False(BOOL* result) {
  if (result) *result = FALSE;
}
}  // namespace

#define KX_GUARD(name) \
  if (!Allowed()) return Refuse(name)

HRESULT CWinPrinterControl::printPreview(IDispatch*, VARIANT_BOOL) {
  KX_GUARD("printPreview");
  NotBuiltJob("printPreview", "printPreview");
  return S_OK;
}
HRESULT CWinPrinterControl::printToPDF(IDispatch*, BSTR, BOOL* result) {
  KX_GUARD("printToPDF");
  False(result);
  NotBuiltJob("printToPDF", "printToPDF");
  return S_OK;
}
HRESULT CWinPrinterControl::printToImage(IDispatch*, BSTR, BOOL* result) {
  KX_GUARD("printToImage");
  False(result);
  NotBuiltJob("printToImage", "printToImage");
  return S_OK;
}
HRESULT CWinPrinterControl::printTIFF(BSTR, IDispatch*, BSTR) {
  KX_GUARD("printTIFF");
  NotBuiltJob("printTIFF", "printTIFF");
  return S_OK;
}
HRESULT CWinPrinterControl::printDocument(VARIANT*, VARIANT*) {
  KX_GUARD("printDocument");
  NotBuiltJob("printDocument", "printDocument");
  return S_OK;
}
HRESULT CWinPrinterControl::exportAsImage(VARIANT*, BSTR, BSTR*) {
  KX_GUARD("exportAsImage");
  NotBuiltJob("exportAsImage", "exportAsImage");
  return S_OK;
}
HRESULT CWinPrinterControl::exportAsExcel(VARIANT*, BSTR, VARIANT_BOOL, BOOL* result) {
  KX_GUARD("exportAsExcel");
  False(result);
  NotBuiltJob("exportAsExcel", "exportAsExcel");
  return S_OK;
}
HRESULT CWinPrinterControl::download(BSTR, BSTR, BOOL* result) {
  KX_GUARD("download");
  False(result);
  NotBuiltJob("download", "download");
  return S_OK;
}

HRESULT CWinPrinterControl::setupNormalOffset(BSTR) {
  KX_GUARD("setupNormalOffset");
  NotBuilt("setupNormalOffset");
  return S_OK;
}
HRESULT CWinPrinterControl::setDragCSS(BSTR, BSTR) {
  KX_GUARD("setDragCSS");
  NotBuilt("setDragCSS");
  return S_OK;
}
HRESULT CWinPrinterControl::setPrintBackground(VARIANT_BOOL, BOOL* result) {
  KX_GUARD("setPrintBackground");
  False(result);
  NotBuilt("setPrintBackground");
  return S_OK;
}
HRESULT CWinPrinterControl::setOffsetPage(LONG) {
  KX_GUARD("setOffsetPage");
  NotBuilt("setOffsetPage");
  return S_OK;
}
HRESULT CWinPrinterControl::setDefaultPrinter(BSTR) {
  KX_GUARD("setDefaultPrinter");
  NotBuilt("setDefaultPrinter");
  return S_OK;
}
HRESULT CWinPrinterControl::showPageSetupDialog(VARIANT*) {
  KX_GUARD("showPageSetupDialog");
  NotBuilt("showPageSetupDialog");
  return S_OK;
}
HRESULT CWinPrinterControl::chooseFile(BSTR, BSTR, VARIANT_BOOL, BSTR*) {
  KX_GUARD("chooseFile");
  NotBuilt("chooseFile");
  return S_OK;
}
HRESULT CWinPrinterControl::liveUpdate(BSTR, BSTR, LONG* result) {
  KX_GUARD("liveUpdate");
  if (result) *result = -1;  // "cannot tell", as for a version that cannot be read
  NotBuilt("liveUpdate");
  return S_OK;
}
