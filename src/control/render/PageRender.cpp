#include "control/render/PageRender.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "control/base/Trace.h"
#include "control/formats/Base64.h"

namespace {
std::string Inches(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", mm / 25.4);
  return text;
}

std::string Mm(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2fmm", mm);
  return text;
}

std::string PageCss(const RenderRequest& r) {
  std::string css;
  if (r.paperGiven || r.marginsGiven) {
    css += "@page {";
    if (r.paperGiven) {
      double w = r.landscape ? r.paperHeightMm : r.paperWidthMm;
      double h = r.landscape ? r.paperWidthMm : r.paperHeightMm;
      css += " size: " + Mm(w) + " " + Mm(h) + ";";
    }
    if (r.marginsGiven)
      css += " margin: " + Mm(r.marginTopMm) + " " + Mm(r.marginRightMm) + " " + Mm(r.marginBottomMm) + " " +
             Mm(r.marginLeftMm) + ";";
    css += " }\n";
  }
  if (r.printBackground) css += "* { -webkit-print-color-adjust: exact; print-color-adjust: exact; }\n";
  css += r.extraCss;
  return css;
}
}  // namespace

// Load, lay out, print or capture.
bool RenderInPage(DevToolsSession& browser, const std::string& session, const RenderRequest& request,
                  std::string* output, std::string* message) {
  Json::Value result;

  std::string target = request.url;
  if (!request.html.empty()) {
    target = request.documentUrl;
    browser.ServeDocument(target, request.html);
    Json::Value fetch(Json::objectValue);
    Json::Value pattern(Json::objectValue);
    pattern["urlPattern"] = target;
    pattern["requestStage"] = "Request";
    fetch["patterns"].append(pattern);
    if (!browser.Call("Fetch.enable", fetch, session, nullptr, message)) return false;
  }
  if (request.output == RenderRequest::Output::Png) {
    Json::Value metrics(Json::objectValue);
    metrics["width"] = std::clamp(request.imageWidth, 16, 8192);
    metrics["height"] = 800;
    metrics["deviceScaleFactor"] = 1;
    metrics["mobile"] = false;
    if (!browser.Call("Emulation.setDeviceMetricsOverride", metrics, session, nullptr, message)) return false;
  }
  Json::Value navigate(Json::objectValue);
  navigate["url"] = target;
  Trace("render: navigates");
  if (!browser.Call("Page.navigate", navigate, session, &result, message)) return false;
  Trace("render: navigated");
  if (result.isMember("errorText") && !result["errorText"].asString().empty()) {
    *message = "cannot load " + target + ": " + result["errorText"].asString();
    return false;
  }
  if (!browser.WaitEvent("Page.loadEventFired", session, nullptr, message)) return false;
  Trace("render: loaded");

  // The page rules of this job, then the web fonts (the rules may ask for
  // some), in one round trip.
  Json::Value evaluate(Json::objectValue);
  evaluate["expression"] =
      "(function(css){if(css){var s=document.createElement('style');s.textContent=css;"
      "(document.head||document.documentElement).appendChild(s);}"
      "return document.fonts?document.fonts.ready.then(function(){return true;}):true;})(" +
      Json::valueToQuotedString(PageCss(request).c_str()) + ")";
  evaluate["awaitPromise"] = true;
  if (!browser.Call("Runtime.evaluate", evaluate, session, nullptr, message)) return false;
  Trace("render: fonts ready");

  if (request.output == RenderRequest::Output::Pdf) {
    Json::Value print(Json::objectValue);
    print["printBackground"] = request.printBackground;
    print["landscape"] = request.landscape && !request.paperGiven;  // @page carries it when given
    print["paperWidth"] = std::stod(Inches(request.paperWidthMm));
    print["paperHeight"] = std::stod(Inches(request.paperHeightMm));
    print["marginTop"] = std::stod(Inches(request.marginTopMm));
    print["marginRight"] = std::stod(Inches(request.marginRightMm));
    print["marginBottom"] = std::stod(Inches(request.marginBottomMm));
    print["marginLeft"] = std::stod(Inches(request.marginLeftMm));
    print["preferCSSPageSize"] = true;
    print["generateDocumentOutline"] = false;
    // Tagging walks the accessibility tree: time a printer has no use for.
    print["generateTaggedPDF"] = false;
    if (!request.pageRanges.empty()) print["pageRanges"] = request.pageRanges;
    Trace("render: prints");
    if (!browser.Call("Page.printToPDF", print, session, &result, message)) return false;
    Trace("render: printed");
  } else {
    // The height of the content itself, not of the (taller) viewport.
    Json::Value measure(Json::objectValue);
    // (In quirks mode the body stretches to the viewport: measure what is inside it.)
    measure["expression"] =
        "(function(){var b=document.body||document.documentElement,m=0,r=document.createRange();"
        "r.selectNodeContents(b);m=r.getBoundingClientRect().bottom;"
        "var all=b.getElementsByTagName('*');"
        "for(var i=0;i<all.length;i++){var x=all[i].getBoundingClientRect().bottom;if(x>m)m=x;}"
        "var s=getComputedStyle(b);m+=(parseFloat(s.paddingBottom)||0)+(parseFloat(s.marginBottom)||0);"
        "return Math.ceil(Math.max(m,1));})()";
    measure["returnByValue"] = true;
    if (!browser.Call("Runtime.evaluate", measure, session, &result, message)) return false;
    double height = std::clamp(std::ceil(result["result"].get("value", 800).asDouble()), 1.0, 16384.0);
    Json::Value shot(Json::objectValue);
    shot["format"] = "png";
    shot["captureBeyondViewport"] = true;
    shot["clip"]["x"] = 0;
    shot["clip"]["y"] = 0;
    shot["clip"]["width"] = std::clamp(request.imageWidth, 16, 8192);
    shot["clip"]["height"] = height;
    shot["clip"]["scale"] = 1;
    if (!browser.Call("Page.captureScreenshot", shot, session, &result, message)) return false;
  }
  std::string bytes;
  if (!Base64Decode(result["data"].asString(), &bytes) || bytes.empty()) {
    *message = "chromium returned no document";
    return false;
  }
  *output = std::move(bytes);
  return true;
}
