// The members about printers and kept settings.
#include "control/base/ControlPaths.h"
#include "control/base/ControlText.h"
#include "control/printing/CupsClient.h"
#include "control/members/AutomationToJson.h"
#include "platform/JsonDispatch.h"
#include "control/object/PrinterControlObject.h"
#include "control/members/SiteActions.h"
#include "control/members/SystemActions.h"

namespace {
// Scheduler calls made on the main thread wait at most this long.
constexpr int kSchedulerTimeoutMs = 2000;

std::string Code(const std::string& error) {
  return error.rfind("scheduler not reachable", 0) == 0 ? "schedulerUnreachable" : "printerError";
}
}  // namespace

HRESULT CLinuxPrinterControl::getPrinters(VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::getPrinters");
  CupsClient cups(kSchedulerTimeoutMs);
  std::vector<std::string> names;
  std::string error;
  Json::Value list(Json::arrayValue);
  if (cups.Printers(&names, &error)) {
    for (const auto& name : names) list.append(name);
  } else {
    Report(Code(error), error);
  }
  if (result) JsonToResultVariant(list, result);
  return S_OK;
}

HRESULT CLinuxPrinterControl::getDefaultPrinter(VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::getDefaultPrinter");
  CupsClient cups(kSchedulerTimeoutMs);
  std::string name, error;
  if (!cups.DefaultPrinter(&name, &error)) Report(Code(error), error);
  if (result) JsonToResultVariant(Json::Value(name), result);
  return S_OK;
}

HRESULT CLinuxPrinterControl::setDefaultPrinter(BSTR printer) {
  m_thread.Check("CLinuxPrinterControl::setDefaultPrinter");
  CupsClient cups(kSchedulerTimeoutMs);
  std::string error;
  if (!cups.SetDefaultPrinter(BstrToUtf8(printer), &error)) Report(Code(error), error);
  return S_OK;
}

HRESULT CLinuxPrinterControl::getPrinterInfo(BSTR printer, VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::getPrinterInfo");
  CupsClient cups(kSchedulerTimeoutMs);
  Json::Value info;
  std::string error;
  if (!cups.PrinterInfo(BstrToUtf8(printer), &info, &error)) {
    Report(Code(error), error);
    info = Json::Value();
  }
  if (result) JsonToResultVariant(info, result);
  return S_OK;
}

HRESULT CLinuxPrinterControl::getPrinterStatus(BSTR printer, VARIANT_BOOL detail, VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::getPrinterStatus");
  CupsClient cups(kSchedulerTimeoutMs);
  Json::Value status;
  std::string error;
  if (!cups.PrinterStatus(BstrToUtf8(printer), detail != VARIANT_FALSE, &status, &error)) {
    // The page gets the reason even without a listener.
    Report(Code(error), error);
    status = UnknownPrinterStatus(BstrToUtf8(printer), error);
  }
  if (result) JsonToResultVariant(status, result);
  return S_OK;
}

HRESULT CLinuxPrinterControl::getPapers(BSTR printer, VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::getPapers");
  CupsClient cups(kSchedulerTimeoutMs);
  Json::Value papers;
  std::string error;
  if (!cups.Papers(BstrToUtf8(printer), &papers, &error)) {
    Report(Code(error), error);
    papers = Json::Value(Json::arrayValue);
  }
  if (result) JsonToResultVariant(papers, result);
  return S_OK;
}

HRESULT CLinuxPrinterControl::isCustomPaperSupported(BSTR printer, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::isCustomPaperSupported");
  CupsClient cups(kSchedulerTimeoutMs);
  bool supported = false;
  std::string error;
  if (!cups.CustomPaperSupported(BstrToUtf8(printer), &supported, &error)) Report(Code(error), error);
  if (result) *result = supported ? TRUE : FALSE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::showPageSetupDialog(VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::showPageSetupDialog");
  // No dialog without blocking the host: the answer is "nothing chosen" (empty).
  if (result) VariantClear(result);
  return S_OK;
}

HRESULT CLinuxPrinterControl::getLastSettings(BSTR key, VARIANT* result) {
  m_thread.Check("CLinuxPrinterControl::getLastSettings");
  Json::Value value = KeptSetting(m_defaults.origin, BstrToUtf8(key));
  if (result) {
    VariantClear(result);
    if (!value.isNull()) JsonToResultVariant(value, result);  // none kept: empty
  }
  return S_OK;
}

HRESULT CLinuxPrinterControl::setLastSettings(BSTR key, VARIANT* settings) {
  m_thread.Check("CLinuxPrinterControl::setLastSettings");
  MemberFailure failure;
  if (!KeepSetting(m_defaults.origin, BstrToUtf8(key), settings ? VariantToJsonValue(*settings) : Json::Value(),
                   &failure))
    Report(failure.code, failure.message);
  return S_OK;
}

HRESULT CLinuxPrinterControl::clearLastSettings(BSTR key) {
  m_thread.Check("CLinuxPrinterControl::clearLastSettings");
  MemberFailure failure;
  if (!ClearSetting(m_defaults.origin, BstrToUtf8(key), &failure)) Report(failure.code, failure.message);
  return S_OK;
}
