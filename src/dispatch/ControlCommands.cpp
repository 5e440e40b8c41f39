// One ControlProxy operation per command: obtain the control, convert the
// parameters, call the member, convert its result and write the reply.
// Members' HRESULTs are not looked at: a failed member leaves its
// out-parameter at the initial value, and that value is the reply.
#include "dispatch/ControlProxy.h"

#include "platform/CodePage.h"

namespace {

Bstr Text(const std::string& s) { return Bstr(AnsiToWide(s)); }
// A null BSTR for the empty text, where the member distinguishes "none".
Bstr TextOrNull(const std::string& s) { return s.empty() ? Bstr() : Text(s); }
VARIANT_BOOL Flag(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

// A member of an object parameter read as a string; absent, null or not a
// string gives a null BSTR.
Bstr StringMember(const Json::Value& object, const char* name) {
  if (!object.isObject()) return Bstr();
  const Json::Value* v = object.find(name, name + std::char_traits<char>::length(name));
  return (v && v->isString()) ? Text(v->asString()) : Bstr();
}

// A VT_BSTR VARIANT that borrows the string (the Bstr keeps ownership).
VARIANT BorrowedString(const Bstr& s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = s.Get();
  return v;
}

IDispatch* ObjectOf(const Variant& v) { return v.vt == VT_DISPATCH ? v.pdispVal : nullptr; }

}  // namespace

// ---- results --------------------------------------------------------------------

void ControlProxy::ReplyNone(const std::string& event) { WriteReply(nullptr, event, -1); }

void ControlProxy::ReplyBool(BOOL result, const std::string& event) {
  Json::Value data(result != 0);
  WriteReply(&data, event, -1);
}

void ControlProxy::ReplyLong(LONG result, const std::string& event) {
  Json::Value data(static_cast<Json::Int>(result));
  WriteReply(&data, event, -1);
}

void ControlProxy::ReplyText(BSTR result, const std::string& event) {
  Bstr owned = Bstr::Attach(result);
  if (event.empty()) return;
  m_out.WriteText(WideToAnsi(owned.View()), event);
}

void ControlProxy::ReplyValue(VARIANT* result, const std::string& event) {
  Json::Value data = m_bridge.VariantToJson(*result);
  VariantClear(result);
  WriteReply(&data, event, -1);
}

Variant ControlProxy::ToAutomation(const Json::Value& value) {
  Variant v;
  VARIANT raw = m_bridge.JsonToVariant(value);
  static_cast<VARIANT&>(v) = raw;  // adopts the value the bridge made for us
  return v;
}

// ---- commands without a reply -------------------------------------------------------

void ControlProxy::about() { GetControl()->about(); }

void ControlProxy::printPreview(const Json::Value& job, bool prompt) {
  ComPtr<IPrinterControl> control = GetControl();
  Variant value = ToAutomation(job);
  AttachListener(ObjectOf(value));
  control->printPreview(ObjectOf(value), Flag(prompt));
}

void ControlProxy::print(const Json::Value& job, bool prompt) {
  ComPtr<IPrinterControl> control = GetControl();
  Variant value = ToAutomation(job);
  AttachListener(ObjectOf(value));
  control->print(ObjectOf(value), Flag(prompt));
}

// ---- converted values -----------------------------------------------------------------

void ControlProxy::getPrinters(const std::string& event) {
  Variant result;
  GetControl()->getPrinters(&result);
  ReplyValue(&result, event);
}

void ControlProxy::getPapers(const std::string& printer, const std::string& event) {
  Variant result;
  GetControl()->getPapers(Text(printer).Get(), &result);
  ReplyValue(&result, event);
}

void ControlProxy::getDefaultPrinter(const std::string& event) {
  Variant result;
  GetControl()->getDefaultPrinter(&result);
  ReplyValue(&result, event);
}

void ControlProxy::getFonts(const std::string& event) {
  Variant result;
  GetControl()->getFonts(&result);
  ReplyValue(&result, event);
}

void ControlProxy::showPageSetupDialog(const std::string& event) {
  Variant result;
  GetControl()->showPageSetupDialog(&result);
  ReplyValue(&result, event);
}

void ControlProxy::getLastSettings(const std::string& key, const std::string& event) {
  Variant result;
  GetControl()->getLastSettings(Text(key).Get(), &result);
  ReplyValue(&result, event);
}

void ControlProxy::getPrinterInfo(const std::string& printer, const std::string& event) {
  Variant result;
  GetControl()->getPrinterInfo(Text(printer).Get(), &result);
  ReplyValue(&result, event);
}

void ControlProxy::getPrinterStatus(const std::string& printer, bool detail, const std::string& event) {
  Variant result;
  GetControl()->getPrinterStatus(Text(printer).Get(), Flag(detail), &result);
  ReplyValue(&result, event);
}

// ---- booleans -------------------------------------------------------------------------

void ControlProxy::isCustomPaperSupported(const std::string& printer, const std::string& event) {
  BOOL result = 0;
  GetControl()->isCustomPaperSupported(Text(printer).Get(), &result);
  ReplyBool(result, event);
}

void ControlProxy::isImplemented(const std::string& name, const std::string& event) {
  BOOL result = 0;
  GetControl()->isImplemented(Text(name).Get(), &result);
  ReplyBool(result, event);
}

void ControlProxy::isExcelInstalled(const std::string& event) {
  BOOL result = 0;
  GetControl()->isExcelInstalled(&result);
  ReplyBool(result, event);
}

void ControlProxy::isPrintableFileType(const std::string& type, const std::string& event) {
  BOOL result = 0;
  GetControl()->isPrintableFileType(Text(type).Get(), &result);
  ReplyBool(result, event);
}

void ControlProxy::download(const std::string& url, const std::string& path, const std::string& event) {
  BOOL result = 0;
  GetControl()->download(Text(url).Get(), Text(path).Get(), &result);
  ReplyBool(result, event);
}

void ControlProxy::writeString(const std::string& path, const std::string& text, const std::string& encoding,
                               const std::string& event) {
  BOOL result = 0;
  GetControl()->writeString(Text(path).Get(), Text(text).Get(), Text(encoding).Get(), &result);
  ReplyBool(result, event);
}

void ControlProxy::writeBase64(const std::string& path, const std::string& data, const std::string& event) {
  BOOL result = 0;
  GetControl()->writeBase64(Text(path).Get(), Text(data).Get(), &result);
  ReplyBool(result, event);
}

void ControlProxy::setPrintBackground(bool enabled, const std::string& event) {
  BOOL result = 0;
  GetControl()->setPrintBackground(Flag(enabled), &result);
  ReplyBool(result, event);
}

void ControlProxy::printToImage(const Json::Value& job, const std::string& path, const std::string& event) {
  Variant value = ToAutomation(job);
  AttachListener(ObjectOf(value));
  BOOL result = 0;
  GetControl()->printToImage(ObjectOf(value), Text(path).Get(), &result);
  ReplyBool(result, event);
}

void ControlProxy::printToPDF(const Json::Value& job, const std::string& path, const std::string& event) {
  Variant value = ToAutomation(job);
  AttachListener(ObjectOf(value));
  BOOL result = 0;
  GetControl()->printToPDF(ObjectOf(value), Text(path).Get(), &result);
  ReplyBool(result, event);
}

// ---- text -------------------------------------------------------------------------------

void ControlProxy::getVersion(const std::string& event) {
  BSTR result = nullptr;
  GetControl()->getVersion(&result);
  ReplyText(result, event);
}

void ControlProxy::getLocalMacAddress(const std::string& event) {
  BSTR result = nullptr;
  GetControl()->getLocalMacAddress(&result);
  ReplyText(result, event);
}

void ControlProxy::getCPUSerialNo(const std::string& event) {
  BSTR result = nullptr;
  GetControl()->getCPUSerialNo(&result);
  ReplyText(result, event);
}

void ControlProxy::copied(const std::string& path, const std::string& event) {
  BSTR result = nullptr;
  GetControl()->copied(Text(path).Get(), &result);
  ReplyText(result, event);
}

void ControlProxy::readString(const std::string& path, const std::string& encoding, const std::string& event) {
  BSTR result = nullptr;
  GetControl()->readString(Text(path).Get(), Text(encoding).Get(), &result);
  ReplyText(result, event);
}

void ControlProxy::readHTML(const std::string& path, const std::string& encoding, const std::string& event) {
  BSTR result = nullptr;
  GetControl()->readHTML(Text(path).Get(), Text(encoding).Get(), &result);
  ReplyText(result, event);
}

void ControlProxy::chooseFile(const std::string& title, const std::string& filter, bool save,
                              const std::string& event) {
  BSTR result = nullptr;
  GetControl()->chooseFile(Text(title).Get(), Text(filter).Get(), Flag(save), &result);
  ReplyText(result, event);  // nothing chosen (null) gives ""
}

void ControlProxy::getAbsoluteURL(const std::string& url, const Json::Value& base, const std::string& event) {
  ComPtr<IPrinterControl> control = GetControl();
  Variant baseValue = ToAutomation(base);
  BSTR result = nullptr;
  control->getAbsoluteURL(Text(url).Get(), &baseValue, &result);
  ReplyText(result, event);
}

void ControlProxy::readBase64(const std::string& path, const std::string& event) {
  BSTR result = nullptr;
  GetControl()->readBase64(Text(path).Get(), &result);
  Bstr owned = Bstr::Attach(result);
  m_out.WriteWideTextInPieces(owned.View(), event);
}

// ---- integer ----------------------------------------------------------------------------

void ControlProxy::liveUpdate(const std::string& url, const std::string& version, const std::string& event) {
  LONG result = 0;
  GetControl()->liveUpdate(Text(url).Get(), Text(version).Get(), &result);
  ReplyLong(result, event);
}

// ---- no data ------------------------------------------------------------------------------

void ControlProxy::setOffsetPage(int32_t offset, const std::string& event) {
  GetControl()->setOffsetPage(offset);
  ReplyNone(event);
}

void ControlProxy::setDragCSS(const std::string& selector, const std::string& css, const std::string& event) {
  GetControl()->setDragCSS(Text(selector).Get(), Text(css).Get());
  ReplyNone(event);
}

void ControlProxy::clearLastSettings(const std::string& key, const std::string& event) {
  GetControl()->clearLastSettings(Text(key).Get());
  ReplyNone(event);
}

void ControlProxy::printDocument(const std::string& document, const Json::Value& options,
                                 const std::string& event) {
  ComPtr<IPrinterControl> control = GetControl();
  Bstr text = Text(document);
  VARIANT documentValue = BorrowedString(text);
  Variant optionsValue = ToAutomation(options);
  control->printDocument(&documentValue, &optionsValue);
  ReplyNone(event);
}

void ControlProxy::printTIFF(const std::string& path, const Json::Value& job, const std::string& printer,
                             const std::string& event) {
  ComPtr<IPrinterControl> control = GetControl();
  Variant value = ToAutomation(job);
  control->printTIFF(Text(path).Get(), ObjectOf(value), Text(printer).Get());
  ReplyNone(event);
}

void ControlProxy::setupNormalOffset(const std::string& offset, const std::string& event) {
  GetControl()->setupNormalOffset(Text(offset).Get());
  ReplyNone(event);
}

void ControlProxy::copy(const std::string& source, const std::string& target, const std::string& event) {
  GetControl()->copy(Text(source).Get(), Text(target).Get());
  ReplyNone(event);
}

void ControlProxy::setLastSettings(const std::string& key, const Json::Value& settings, const std::string& event) {
  ComPtr<IPrinterControl> control = GetControl();
  Variant value = ToAutomation(settings);
  control->setLastSettings(Text(key).Get(), &value);
  ReplyNone(event);
}

void ControlProxy::setDefaultPrinter(const std::string& printer, const std::string& event) {
  GetControl()->setDefaultPrinter(Text(printer).Get());
  ReplyNone(event);
}

void ControlProxy::openFile(const std::string& path, const std::string& event) {
  GetControl()->openFile(Text(path).Get());
  ReplyNone(event);
}

// ---- HTML laid out by the page first ---------------------------------------------------------

void ControlProxy::exportAsImage(const Json::Value& source, const std::string& path, const std::string& event) {
  Bstr html = StringMember(source, "html");
  Bstr element = StringMember(source, "element");
  VARIANT args[2] = {BorrowedString(element), BorrowedString(html)};  // dispatch order: last argument first
  Variant loaded = CallScriptFunction("loadHTML", args, 2);
  ComPtr<IPrinterControl> control = GetControl();
  BSTR result = nullptr;
  control->exportAsImage(&loaded, Text(path).Get(), &result);
  ReplyText(result, event);
}

void ControlProxy::exportAsExcel(const Json::Value& html, const std::string& path, bool open,
                                 const std::string& event) {
  Bstr htmlText = html.isString() ? Text(html.asString()) : Bstr();
  VARIANT args[1] = {BorrowedString(htmlText)};
  Variant loaded = CallScriptFunction("loadHTML", args, 1);
  ComPtr<IPrinterControl> control = GetControl();
  BOOL result = 0;
  control->exportAsExcel(&loaded, TextOrNull(path).Get(), Flag(open), &result);
  ReplyBool(result, event);
}
