// A print job as the page describes it, turned into the request the job
// process (kestrix-job) carries out. The page's job object may hold:
//   content:  "html" (a document or a fragment), "url" (http, https, or a file:
//             address inside the allowed folders), "file" (a path inside the
//             allowed folders) or "data" (base64) with "type" (its MIME type)
//   settings: "printer", "paper", "landscape", "copies", "margins"
//             {top, right, bottom, left} in mm (or one number for all four),
//             "duplex" (true / "long" / "short" / false), "title", "pageRanges"
//             ("1-3,5"), "width" (pixels, for images), "timeout" (seconds to
//             render), "follow" (seconds to follow a printed job; the
//             control cuts it to JobLimits::followLimitSeconds)
// Anything the page gets wrong is refused here, on the main thread, with a
// message; nothing is started then.
#pragma once

#include <json/json.h>

#include <string>

#include "control/site/FileStore.h"
#include "control/site/NetworkPolicy.h"
#include "platform/WebOrigin.h"

// What the control keeps between calls and applies to every job.
struct JobDefaults {
  bool printBackground = true;
  std::string pageUrl;           // setPageURL: the address HTML content lives at (WebOrigin's reading)
  WebOrigin origin;              // setPageURL: the page's site, parsed once; keys its files, settings, ids
  std::string extraCss;          // setDragCSS rules
  double offsetLeftMm = 0;       // setupNormalOffset
  double offsetTopMm = 0;
  int skipPages = 0;             // setOffsetPage: leading pages left out
  NetworkPolicy network;         // what rendering may reach (the page's origin, control.json)
};

enum class JobMode {
  Print,     // render when needed, submit to CUPS, follow the job
  Pdf,       // write a PDF to the output path
  Png,       // write a PNG to the output path
  Preview,   // write a PDF into the default folder and open it on a desktop
};

// The request for kestrix-job, or false with a message. id names the job in
// every event; type is the member that started it ("print", "printToPDF", ...).
bool BuildJobRequest(const Json::Value& job, JobMode mode, const std::string& type, const std::string& id,
                     const std::string& outputPath, const JobDefaults& defaults, const FileStore& files,
                     Json::Value* request, std::string* error);

// The job record every job state event carries, as it stands before the job
// has started (status "", no scheduler job id yet).
Json::Value NewJobRecord(const Json::Value& request);

// "file:///a/b%20c" -> "/a/b c" (host empty or localhost). False for other hosts.
bool FileUrlToPath(const std::string& url, std::string* path);
// "1-3, 5" style page ranges: digits, '-', ',' and blanks, ascending pieces.
bool ValidPageRanges(const std::string& ranges);
// The MIME type of some bytes by their first bytes (PDF, PostScript, PNG,
// JPEG, GIF, TIFF, HTML); text/plain for anything else that is valid UTF-8
// without NULs; "" otherwise.
std::string SniffMimeType(const std::string& bytes);
