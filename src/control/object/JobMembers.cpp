// The members that start jobs (print, printPreview, printToPDF, printToImage,
// printTIFF, printDocument, exportAsImage) and the settings every later job
// takes (setPageURL, setupNormalOffset, setDragCSS, setPrintBackground,
// setHostCode, setOffsetPage).
#include <cmath>
#include <cstdio>

#include "control/base/ControlPaths.h"
#include "control/base/ControlText.h"
#include "control/members/AutomationToJson.h"
#include "control/object/PrinterControlObject.h"

HRESULT CLinuxPrinterControl::print(IDispatch* job, VARIANT_BOOL) {
  m_thread.Check("CLinuxPrinterControl::print");
  // There is no print dialog here: a prompt is not shown, the job goes to its printer.
  const std::string id = NextJobId("print");
  Json::Value content;
  if (ReadJob(job, "print", id, &content)) StartJob(content, JobMode::Print, "print", id, "");
  return S_OK;
}

HRESULT CLinuxPrinterControl::printPreview(IDispatch* job, VARIANT_BOOL) {
  m_thread.Check("CLinuxPrinterControl::printPreview");
  const std::string id = NextJobId("preview");
  Json::Value content;
  if (!ReadJob(job, "printPreview", id, &content)) return S_OK;
  std::string output = OutputPath("", id + ".pdf", "printPreview", id);
  if (!output.empty()) StartJob(content, JobMode::Preview, "printPreview", id, output);
  return S_OK;
}

HRESULT CLinuxPrinterControl::printToPDF(IDispatch* job, BSTR path, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::printToPDF");
  if (result) *result = FALSE;
  const std::string id = NextJobId("pdf");
  Json::Value content;
  if (!ReadJob(job, "printToPDF", id, &content)) return S_OK;
  std::string output = OutputPath(BstrToUtf8(path), id + ".pdf", "printToPDF", id);
  if (output.empty()) return S_OK;
  bool started = StartJob(content, JobMode::Pdf, "printToPDF", id, output);
  if (result) *result = started ? TRUE : FALSE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::printToImage(IDispatch* job, BSTR path, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::printToImage");
  if (result) *result = FALSE;
  const std::string id = NextJobId("image");
  Json::Value content;
  if (!ReadJob(job, "printToImage", id, &content)) return S_OK;
  std::string output = OutputPath(BstrToUtf8(path), id + ".png", "printToImage", id);
  if (output.empty()) return S_OK;
  bool started = StartJob(content, JobMode::Png, "printToImage", id, output);
  if (result) *result = started ? TRUE : FALSE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::printTIFF(BSTR path, IDispatch* job, BSTR printer) {
  m_thread.Check("CLinuxPrinterControl::printTIFF");
  const std::string id = NextJobId("tiff");
  // The job object is optional here: it only carries settings.
  Json::Value content = job ? DispatchToJson(job) : Json::Value(Json::objectValue);
  if (!content.isObject()) content = Json::Value(Json::objectValue);
  content.removeMember("html");
  content.removeMember("url");
  content.removeMember("data");
  content["file"] = BstrToUtf8(path);
  if (SysStringLen(printer) > 0) content["printer"] = BstrToUtf8(printer);
  StartJob(content, JobMode::Print, "printTIFF", id, "");
  return S_OK;
}

HRESULT CLinuxPrinterControl::printDocument(VARIANT* document, VARIANT* options) {
  m_thread.Check("CLinuxPrinterControl::printDocument");
  const std::string id = NextJobId("document");
  Json::Value content = options ? VariantToJsonValue(*options) : Json::Value();
  if (content.isString()) {
    // Options given as JSON text.
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string text = content.asString(), errors;
    Json::Value parsed;
    try {
      if (reader->parse(text.data(), text.data() + text.size(), &parsed, &errors)) content = parsed;
    } catch (const std::exception&) {
    }
  }
  if (!content.isObject()) content = Json::Value(Json::objectValue);
  Json::Value doc = document ? VariantToJsonValue(*document) : Json::Value();
  if (doc.isObject()) {
    // A job object in place of the document: its members win.
    for (const auto& key : doc.getMemberNames()) content[key] = doc[key];
  } else if (doc.isString() && !doc.asString().empty()) {
    const std::string text = doc.asString();
    size_t first = text.find_first_not_of(" \t\r\n");
    content.removeMember("html");
    content.removeMember("url");
    content.removeMember("file");
    content.removeMember("data");
    if (first != std::string::npos && text[first] == '<') content["html"] = text;
    else if (text.find("://") != std::string::npos || text.rfind("file:", 0) == 0) content["url"] = text;
    else content["file"] = text;
  } else {
    ReportJobFailure("printDocument", id, "noDocument", "printDocument needs a document (HTML, an address or a path)");
    return S_OK;
  }
  StartJob(content, JobMode::Print, "printDocument", id, "");
  return S_OK;
}

HRESULT CLinuxPrinterControl::exportAsImage(VARIANT* element, BSTR path, BSTR* result) {
  m_thread.Check("CLinuxPrinterControl::exportAsImage");
  const std::string id = NextJobId("export");
  std::string html;
  if (!ElementHtml(element, &html)) {
    ReportJobFailure("exportAsImage", id, "noElement", "exportAsImage needs an element (or HTML text)");
    return S_OK;
  }
  std::string output = OutputPath(BstrToUtf8(path), id + ".png", "exportAsImage", id);
  if (output.empty()) return S_OK;
  Json::Value job(Json::objectValue);
  job["html"] = html;
  // The path is the result at once; the file is there when OnDone says so.
  if (StartJob(job, JobMode::Png, "exportAsImage", id, output)) SetBstrResult(result, output);
  return S_OK;
}

HRESULT CLinuxPrinterControl::setPageURL(BSTR url) {
  m_thread.Check("CLinuxPrinterControl::setPageURL");
  // The one reading of the page's address: its origin keys the site's files,
  // settings, device ids and network exception, and a web page's address is
  // kept as that reading spells it, so HTML rendered "at" it lands on the
  // same origin. Any other address is kept as given and names no site.
  const std::string given = BstrToUtf8(url);
  std::string rest;
  m_defaults.origin = WebOrigin::Parse(given, &rest);
  m_defaults.pageUrl = m_defaults.origin.IsValid() ? m_defaults.origin.Key() + rest : given;
  return S_OK;
}

HRESULT CLinuxPrinterControl::setupNormalOffset(BSTR offset) {
  m_thread.Check("CLinuxPrinterControl::setupNormalOffset");
  // "left,top" in millimetres ("3,-2", "3 -2", or one number for both); "" resets.
  std::string text = BstrToUtf8(offset);
  for (char& c : text)
    if (c == ',' || c == ';' || c == 'x') c = ' ';
  double left = 0, top = 0;
  char extra = 0;
  const bool blank = text.find_first_not_of(' ') == std::string::npos;
  int n = blank ? 0 : std::sscanf(text.c_str(), " %lf %lf %c", &left, &top, &extra);
  if (n == 1) top = left;
  if ((!blank && (n < 1 || n > 2)) || !std::isfinite(left) || !std::isfinite(top) || std::fabs(left) > 100 ||
      std::fabs(top) > 100) {
    Report("badOffset", "setupNormalOffset takes \"left,top\" in millimetres (-100 to 100), not '" +
                            BstrToUtf8(offset) + "'");
    return S_OK;
  }
  m_defaults.offsetLeftMm = left;
  m_defaults.offsetTopMm = top;
  return S_OK;
}

HRESULT CLinuxPrinterControl::setDragCSS(BSTR selector, BSTR css) {
  m_thread.Check("CLinuxPrinterControl::setDragCSS");
  std::string sel = BstrToUtf8(selector), decl = BstrToUtf8(css);
  // One rule per selector; nothing that could close the rule or the style element.
  auto unsafe = [](const std::string& s) {
    return s.find_first_of("{}") != std::string::npos || s.find("</") != std::string::npos;
  };
  if (sel.empty() || unsafe(sel) || unsafe(decl)) {
    Report("badCss", "setDragCSS takes a selector and declarations without braces");
    return S_OK;
  }
  if (decl.empty()) m_dragCss.erase(sel);
  else m_dragCss[sel] = decl;
  return S_OK;
}

HRESULT CLinuxPrinterControl::setPrintBackground(VARIANT_BOOL enabled, BOOL* result) {
  m_thread.Check("CLinuxPrinterControl::setPrintBackground");
  if (result) *result = m_defaults.printBackground ? TRUE : FALSE;  // the setting before this call
  m_defaults.printBackground = enabled != VARIANT_FALSE;
  return S_OK;
}

HRESULT CLinuxPrinterControl::setHostCode(LONG code) {
  m_thread.Check("CLinuxPrinterControl::setHostCode");
  m_hostCode = code;
  return S_OK;
}

HRESULT CLinuxPrinterControl::setOffsetPage(LONG offset) {
  m_thread.Check("CLinuxPrinterControl::setOffsetPage");
  m_defaults.skipPages = offset < 0 ? 0 : offset > 9999 ? 9999 : static_cast<int>(offset);
  return S_OK;
}
