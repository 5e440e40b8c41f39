// The command table: every request method the host understands, which
// members of the request it reads, in which kind, and which proxy operation
// receives them.
//
// Written as a template over the proxy so that the table can be exercised
// against a recorder in tests; CommandDispatcher instantiates it for
// ControlProxy, whose operations therefore must keep these exact shapes.
//
// Methods are compared in table order by exact, case-sensitive equality of
// the whole string. For each command the event name is read first, then the
// parameters in the order the operation takes them; a read that fails raises
// Json::LogicError before anything is called. A method outside the table
// does nothing. Every command here has a row in the site permissions
// (SitePermissions.cpp); one without needs every capability.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "dispatch/ParamKinds.h"

// Reads the members of one request by kind. "params" present but not an
// array counts as no parameters; a missing index reads as null.
class RequestReader {
 public:
  explicit RequestReader(const Json::Value& request) : m_request(request) {}
  // With the request's member "event" found already (null: it has none).
  RequestReader(const Json::Value& request, const Json::Value* event)
      : m_request(request), m_event(event ? event : &Json::Value::nullSingleton()) {}

  const Json::Value& Request() const { return m_request; }
  std::string Method() const { return ReadTextParam(Member("method")); }
  std::string Event() const { return ReadTextParam(m_event ? *m_event : Member("event")); }
  std::string Text(unsigned i) const { return ReadTextParam(ParamAt(m_request, i)); }
  bool Flag(unsigned i) const { return ReadFlagParam(ParamAt(m_request, i)); }
  int32_t Integer(unsigned i) const { return ReadIntegerParam(ParamAt(m_request, i)); }
  const Json::Value& Value(unsigned i) const { return ParamAt(m_request, i); }

 private:
  const Json::Value& Member(const char* name) const;
  const Json::Value& m_request;
  const Json::Value* m_event = nullptr;  // null: looked up
};

// One row of the table: a method and what carrying it out reads and calls.
template <class Proxy>
struct Command {
  std::string_view method;
  void (*run)(Proxy& p, const RequestReader& r);
};

// Every command, in table order. Code that must know each command (the site
// permissions' rows, the tests) walks this list rather than keeping its own.
template <class Proxy>
std::span<const Command<Proxy>> Commands() {
  static constexpr Command<Proxy> table[] = {
      // 1-5: commands without an event name.
      {"ping", [](Proxy&, const RequestReader&) {}},  // counts as traffic only; the host window has recorded it
      {"new", [](Proxy& p, const RequestReader& r) { p.OnNew(r.Request()); }},
      {"about", [](Proxy& p, const RequestReader&) { p.about(); }},
      {"printPreview", [](Proxy& p, const RequestReader& r) {
         const Json::Value& job = r.Value(0);
         bool prompt = r.Flag(1);
         p.printPreview(job, prompt);
       }},
      {"print", [](Proxy& p, const RequestReader& r) {
         const Json::Value& job = r.Value(0);
         bool prompt = r.Flag(1);
         p.print(job, prompt);
       }},
      // 6-45: every other command reads the event name before its parameters.
      {"getPrinters", [](Proxy& p, const RequestReader& r) { p.getPrinters(r.Event()); }},
      {"getPapers", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.getPapers(r.Text(0), e);
       }},
      {"isCustomPaperSupported", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.isCustomPaperSupported(r.Text(0), e);
       }},
      {"isImplemented", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.isImplemented(r.Text(0), e);
       }},
      {"isExcelInstalled", [](Proxy& p, const RequestReader& r) { p.isExcelInstalled(r.Event()); }},
      {"getDefaultPrinter", [](Proxy& p, const RequestReader& r) { p.getDefaultPrinter(r.Event()); }},
      {"getVersion", [](Proxy& p, const RequestReader& r) { p.getVersion(r.Event()); }},
      {"getLocalMacAddress", [](Proxy& p, const RequestReader& r) { p.getLocalMacAddress(r.Event()); }},
      {"getCPUSerialNo", [](Proxy& p, const RequestReader& r) { p.getCPUSerialNo(r.Event()); }},
      {"setOffsetPage", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.setOffsetPage(r.Integer(0), e);
       }},
      {"isPrintableFileType", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.isPrintableFileType(r.Text(0), e);
       }},
      {"setDragCSS", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         p.setDragCSS(a, b, e);
       }},
      {"clearLastSettings", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.clearLastSettings(r.Text(0), e);
       }},
      {"printDocument", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         p.printDocument(a, r.Value(1), e);
       }},
      {"printTIFF", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         const Json::Value& b = r.Value(1);
         std::string c = r.Text(2);
         p.printTIFF(a, b, c, e);
       }},
      {"exportAsImage", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         const Json::Value& a = r.Value(0);
         std::string b = r.Text(1);
         p.exportAsImage(a, b, e);
       }},
      {"exportAsExcel", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         const Json::Value& a = r.Value(0);
         std::string b = r.Text(1);
         bool c = r.Flag(2);
         p.exportAsExcel(a, b, c, e);
       }},
      {"setupNormalOffset", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.setupNormalOffset(r.Text(0), e);
       }},
      {"download", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         p.download(a, b, e);
       }},
      {"printToImage", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         const Json::Value& a = r.Value(0);
         std::string b = r.Text(1);
         p.printToImage(a, b, e);
       }},
      {"printToPDF", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         const Json::Value& a = r.Value(0);
         std::string b = r.Text(1);
         p.printToPDF(a, b, e);
       }},
      {"liveUpdate", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         p.liveUpdate(a, b, e);
       }},
      {"getFonts", [](Proxy& p, const RequestReader& r) { p.getFonts(r.Event()); }},
      {"copy", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         p.copy(a, b, e);
       }},
      {"copied", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.copied(r.Text(0), e);
       }},
      {"writeString", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         std::string c = r.Text(2);
         p.writeString(a, b, c, e);
       }},
      {"writeBase64", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         p.writeBase64(a, b, e);
       }},
      {"readString", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         p.readString(a, b, e);
       }},
      {"readBase64", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.readBase64(r.Text(0), e);
       }},
      {"readHTML", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         p.readHTML(a, b, e);
       }},
      {"chooseFile", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         std::string b = r.Text(1);
         bool c = r.Flag(2);
         p.chooseFile(a, b, c, e);
       }},
      {"showPageSetupDialog", [](Proxy& p, const RequestReader& r) { p.showPageSetupDialog(r.Event()); }},
      {"getLastSettings", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.getLastSettings(r.Text(0), e);
       }},
      {"getAbsoluteURL", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         p.getAbsoluteURL(a, r.Value(1), e);
       }},
      {"setLastSettings", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         p.setLastSettings(a, r.Value(1), e);
       }},
      {"setDefaultPrinter", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.setDefaultPrinter(r.Text(0), e);
       }},
      {"openFile", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.openFile(r.Text(0), e);
       }},
      {"getPrinterInfo", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.getPrinterInfo(r.Text(0), e);
       }},
      {"getPrinterStatus", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         std::string a = r.Text(0);
         bool b = r.Flag(1);
         p.getPrinterStatus(a, b, e);
       }},
      {"setPrintBackground", [](Proxy& p, const RequestReader& r) {
         std::string e = r.Event();
         p.setPrintBackground(r.Flag(0), e);
       }},
  };
  return table;
}

// The row of a method, compared as a view (a length differs before any byte
// is looked at); null for a method outside the table.
template <class Proxy>
const Command<Proxy>* FindCommand(std::string_view m) {
  for (const Command<Proxy>& c : Commands<Proxy>())
    if (c.method == m) return &c;
  return nullptr;
}

// The same for a request whose method the caller has read already (what
// RequestReader::Method gives for it). A method outside the table: nothing
// is called and nothing is written.
template <class Proxy>
void DispatchMethod(Proxy& p, const RequestReader& r, std::string_view m) {
  if (const Command<Proxy>* c = FindCommand<Proxy>(m)) c->run(p, r);
}

template <class Proxy>
void DispatchCommand(Proxy& p, const Json::Value& request) {
  const RequestReader r(request);
  const std::string method = r.Method();
  DispatchMethod(p, r, method);
}
