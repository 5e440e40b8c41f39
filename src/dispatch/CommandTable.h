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
// does nothing.
#pragma once

#include <json/json.h>

#include <cstdint>
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

// The same for a request whose method the caller has read already (what
// RequestReader::Method gives for it). The method is compared as a view:
// a length differs before any byte is looked at.
template <class Proxy>
void DispatchMethod(Proxy& p, const RequestReader& r, std::string_view m) {
  const Json::Value& request = r.Request();

  // 1-5: commands without an event name.
  if (m == "ping") return;  // counts as traffic only; the host window has recorded it
  if (m == "new") return p.OnNew(request);
  if (m == "about") return p.about();
  if (m == "printPreview") {
    const Json::Value& job = r.Value(0);
    bool prompt = r.Flag(1);
    return p.printPreview(job, prompt);
  }
  if (m == "print") {
    const Json::Value& job = r.Value(0);
    bool prompt = r.Flag(1);
    return p.print(job, prompt);
  }

  // 6-45: every other command reads the event name before its parameters.
  if (m == "getPrinters") return p.getPrinters(r.Event());
  if (m == "getPapers") {
    std::string e = r.Event();
    return p.getPapers(r.Text(0), e);
  }
  if (m == "isCustomPaperSupported") {
    std::string e = r.Event();
    return p.isCustomPaperSupported(r.Text(0), e);
  }
  if (m == "isImplemented") {
    std::string e = r.Event();
    return p.isImplemented(r.Text(0), e);
  }
  if (m == "isExcelInstalled") return p.isExcelInstalled(r.Event());
  if (m == "getDefaultPrinter") return p.getDefaultPrinter(r.Event());
  if (m == "getVersion") return p.getVersion(r.Event());
  if (m == "getLocalMacAddress") return p.getLocalMacAddress(r.Event());
  if (m == "getCPUSerialNo") return p.getCPUSerialNo(r.Event());
  if (m == "setOffsetPage") {
    std::string e = r.Event();
    return p.setOffsetPage(r.Integer(0), e);
  }
  if (m == "isPrintableFileType") {
    std::string e = r.Event();
    return p.isPrintableFileType(r.Text(0), e);
  }
  if (m == "setDragCSS") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    return p.setDragCSS(a, b, e);
  }
  if (m == "clearLastSettings") {
    std::string e = r.Event();
    return p.clearLastSettings(r.Text(0), e);
  }
  if (m == "printDocument") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    return p.printDocument(a, r.Value(1), e);
  }
  if (m == "printTIFF") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    const Json::Value& b = r.Value(1);
    std::string c = r.Text(2);
    return p.printTIFF(a, b, c, e);
  }
  if (m == "exportAsImage") {
    std::string e = r.Event();
    const Json::Value& a = r.Value(0);
    std::string b = r.Text(1);
    return p.exportAsImage(a, b, e);
  }
  if (m == "exportAsExcel") {
    std::string e = r.Event();
    const Json::Value& a = r.Value(0);
    std::string b = r.Text(1);
    bool c = r.Flag(2);
    return p.exportAsExcel(a, b, c, e);
  }
  if (m == "setupNormalOffset") {
    std::string e = r.Event();
    return p.setupNormalOffset(r.Text(0), e);
  }
  if (m == "download") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    return p.download(a, b, e);
  }
  if (m == "printToImage") {
    std::string e = r.Event();
    const Json::Value& a = r.Value(0);
    std::string b = r.Text(1);
    return p.printToImage(a, b, e);
  }
  if (m == "printToPDF") {
    std::string e = r.Event();
    const Json::Value& a = r.Value(0);
    std::string b = r.Text(1);
    return p.printToPDF(a, b, e);
  }
  if (m == "liveUpdate") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    return p.liveUpdate(a, b, e);
  }
  if (m == "getFonts") return p.getFonts(r.Event());
  if (m == "copy") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    return p.copy(a, b, e);
  }
  if (m == "copied") {
    std::string e = r.Event();
    return p.copied(r.Text(0), e);
  }
  if (m == "writeString") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    std::string c = r.Text(2);
    return p.writeString(a, b, c, e);
  }
  if (m == "writeBase64") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    return p.writeBase64(a, b, e);
  }
  if (m == "readString") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    return p.readString(a, b, e);
  }
  if (m == "readBase64") {
    std::string e = r.Event();
    return p.readBase64(r.Text(0), e);
  }
  if (m == "readHTML") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    return p.readHTML(a, b, e);
  }
  if (m == "chooseFile") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    std::string b = r.Text(1);
    bool c = r.Flag(2);
    return p.chooseFile(a, b, c, e);
  }
  if (m == "showPageSetupDialog") return p.showPageSetupDialog(r.Event());
  if (m == "getLastSettings") {
    std::string e = r.Event();
    return p.getLastSettings(r.Text(0), e);
  }
  if (m == "getAbsoluteURL") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    return p.getAbsoluteURL(a, r.Value(1), e);
  }
  if (m == "setLastSettings") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    return p.setLastSettings(a, r.Value(1), e);
  }
  if (m == "setDefaultPrinter") {
    std::string e = r.Event();
    return p.setDefaultPrinter(r.Text(0), e);
  }
  if (m == "openFile") {
    std::string e = r.Event();
    return p.openFile(r.Text(0), e);
  }
  if (m == "getPrinterInfo") {
    std::string e = r.Event();
    return p.getPrinterInfo(r.Text(0), e);
  }
  if (m == "getPrinterStatus") {
    std::string e = r.Event();
    std::string a = r.Text(0);
    bool b = r.Flag(1);
    return p.getPrinterStatus(a, b, e);
  }
  if (m == "setPrintBackground") {
    std::string e = r.Event();
    return p.setPrintBackground(r.Flag(0), e);
  }
  // Not in the table: nothing is called and nothing is written.
}

template <class Proxy>
void DispatchCommand(Proxy& p, const Json::Value& request) {
  const RequestReader r(request);
  const std::string method = r.Method();
  DispatchMethod(p, r, method);
}
