// Turns HTML or a web address into PDF or PNG with headless Chromium, driven
// over the DevTools protocol on a pipe (--remote-debugging-pipe: commands on
// fd 3, replies on fd 4, each message ending in NUL).
//
// HTML text is never written to a file:// page (such a page could pull other
// local files into the output). It is served instead as the answer to the
// browser's request for documentUrl (the page's own address, so that relative
// links resolve as they would there), intercepted with the Fetch domain.
// Page size and margins come from the request as @page CSS; a document's own
// @page rules apply where the request leaves them open.
//
// Nothing the rendered page does may reach the user's files or local network:
// - the browser runs with a throwaway profile, home and temporary folder (all
//   inside one folder removed afterwards), and downloads are denied;
// - the browser runs in a network of its own that holds only loopback
//   (PrivateNetwork.h); each job renders in a browser context whose every
//   connection goes through a Socks5Server listening in there and applying
//   the request's NetworkPolicy (the warm renderer keeps one per site; the
//   browser's implicit bypass for loopback addresses is turned off). That proxy is the only way out: what
//   no proxy carries (WebRTC's UDP) reaches nothing. Anything refused fails
//   the job with the code "networkRefused".
//
// The pieces: the browser process (ChromiumProcess.h), the DevTools session
// over its pipe (DevToolsSession.h), one job in an open page (PageRender.h);
// this renderer starts a browser for one job, the warm renderer's browser
// (WarmChromium.h) keeps one running with a context per site.
#pragma once

#include <memory>
#include <string>

#include "control/site/NetworkPolicy.h"

struct RenderRequest {
  enum class Output { Pdf, Png };
  Output output = Output::Pdf;

  // Exactly one of html / url: html is served at documentUrl; url is loaded.
  std::string html;
  std::string documentUrl = "http://kestrix.invalid/document.html";
  std::string url;

  // PDF page: paper in millimetres (portrait measures), margins in millimetres.
  double paperWidthMm = 210.0;
  double paperHeightMm = 297.0;
  bool paperGiven = false;    // put the size in @page (else the document's own @page wins)
  bool landscape = false;
  double marginTopMm = 10.0, marginRightMm = 10.0, marginBottomMm = 10.0, marginLeftMm = 10.0;
  bool marginsGiven = false;  // put the margins in @page
  bool printBackground = true;
  std::string pageRanges;     // "1-3,5"; empty: all
  std::string extraCss;       // added to the document after it has loaded

  // PNG: the viewport width in CSS pixels; the height follows the content
  // (at most 16384 pixels).
  int imageWidth = 1024;

  int timeoutMs = 60000;

  // What the page and everything it loads may reach.
  NetworkPolicy network;
};

class ChromiumRenderer {
 public:
  // $KESTRIX_CHROMIUM when set (and "" when that is not an executable), else
  // /usr/lib/chromium/chromium, /usr/bin/chromium, /usr/bin/chromium-browser;
  // "" when none is there.
  static std::string Find();

  explicit ChromiumRenderer(std::string executable = Find());

  // The PDF or PNG bytes, or false with a message and a code for the page:
  // "chromiumMissing", "networkRefused" (something the page needed was
  // refused by the network policy), "networkIsolationUnavailable" (the
  // browser's own network cannot be made here), "renderFailed".
  bool Render(const RenderRequest& request, std::string* output, std::string* error, std::string* code = nullptr);

  const std::string& Executable() const { return m_executable; }

  // Any thread, when the process is about to end (a job over its time limit):
  // kills the browsers this process runs and removes their folders.
  static void AbortRunning();

 private:
  std::string m_executable;
};

