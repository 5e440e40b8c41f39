// The members about printers, from the Windows spooler (Spooler.h), and the
// system members built on Windows.
#include "control/base/ControlText.h"
#include "control/members/SystemActions.h"
#include "control/win32/Spooler.h"
#include "control/win32/WinPrinterControl.h"
#include "platform/JsonDispatch.h"

#include <algorithm>

namespace {
std::string Code(const std::string& error) {
  return spooler::SpoolerUnreachable(error) ? "schedulerUnreachable" : "printerError";
}
}  // namespace

HRESULT CWinPrinterControl::getPrinters(VARIANT* result) {
  if (!Allowed()) return Refuse("getPrinters");
  std::vector<std::string> names;
  std::string error;
  Json::Value list(Json::arrayValue);
  if (spooler::ListPrinters(&names, &error)) {
    for (const auto& name : names) list.append(name);
  } else {
    Report(Code(error), error);
  }
  if (result) JsonToResultVariant(list, result);
  return S_OK;
}

HRESULT CWinPrinterControl::getDefaultPrinter(VARIANT* result) {
  if (!Allowed()) return Refuse("getDefaultPrinter");
  std::string name, error;
  if (!spooler::DefaultPrinter(&name, &error)) Report(Code(error), error);
  if (result) JsonToResultVariant(Json::Value(name), result);
  return S_OK;
}

HRESULT CWinPrinterControl::getPrinterInfo(BSTR printer, VARIANT* result) {
  if (!Allowed()) return Refuse("getPrinterInfo");
  Json::Value info;
  std::string error;
  if (!spooler::PrinterInfo(BstrToUtf8(printer), &info, &error)) {
    Report(Code(error), error);
    info = Json::Value();
  }
  if (result) JsonToResultVariant(info, result);
  return S_OK;
}

HRESULT CWinPrinterControl::getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) {
  if (!Allowed()) return Refuse("getPrinterStatus");
  Json::Value status;
  std::string error;
  if (!spooler::PrinterStatus(BstrToUtf8(printer), detail != VARIANT_FALSE, &status, &error)) {
    Report(Code(error), error);
    status = UnknownPrinterStatus(BstrToUtf8(printer), error);
  }
  if (result) JsonToResultVariant(status, result);
  return S_OK;
}

HRESULT CWinPrinterControl::getPapers(BSTR printer, VARIANT* result) {
  if (!Allowed()) return Refuse("getPapers");
  Json::Value papers;
  std::string error;
  if (!spooler::Papers(BstrToUtf8(printer), &papers, &error)) {
    Report(Code(error), error);
    papers = Json::Value(Json::arrayValue);
  }
  if (result) JsonToResultVariant(papers, result);
  return S_OK;
}

HRESULT CWinPrinterControl::isCustomPaperSupported(BSTR printer, BOOL* result) {
  if (!Allowed()) return Refuse("isCustomPaperSupported");
  bool supported = false;
  std::string error;
  if (!spooler::CustomPaperSupported(BstrToUtf8(printer), &supported, &error)) Report(Code(error), error);
  if (result) *result = supported ? TRUE : FALSE;
  return S_OK;
}

HRESULT CWinPrinterControl::getVersion(BSTR* result) {
  if (!Allowed()) return Refuse("getVersion");
  SetBstrResult(result, KESTRIX_VERSION);
  return S_OK;
}

const std::vector<std::string>& CWinPrinterControl::ImplementedMembers() {
  // print takes raw jobs and images only so far; its other contents are refused as not built.
  static const std::vector<std::string> names = {
      "print", "getPrinters", "getVersion", "setPageURL", "getPrinterStatus", "getPapers", "isCustomPaperSupported",
      "isImplemented", "isExcelInstalled", "getDefaultPrinter", "getPrinterInfo", "setHostCode", "readString",
      "writeString", "readHTML", "readBase64", "writeBase64", "copy", "copied", "getLastSettings", "setLastSettings",
      "clearLastSettings", "getLocalMacAddress", "getCPUSerialNo", "openFile", "getFonts", "isPrintableFileType", "about",
      "getAbsoluteURL"};
  return names;
}

HRESULT CWinPrinterControl::isImplemented(BSTR name, BOOL* result) {
  if (!Allowed()) return Refuse("isImplemented");
  const std::string member = BstrToUtf8(name);
  const auto& names = ImplementedMembers();
  if (result) *result = std::find(names.begin(), names.end(), member) != names.end() ? TRUE : FALSE;
  return S_OK;
}

HRESULT CWinPrinterControl::isExcelInstalled(BOOL* result) {
  if (!Allowed()) return Refuse("isExcelInstalled");
  // Workbooks are not written on Windows yet (exportAsExcel is not built).
  if (result) *result = FALSE;
  return S_OK;
}
