// The job members on Windows: raw print jobs, images (given as data or as a
// file of the site) drawn on the printer's page, the page's address and the
// host's code. Everything that renders or converts is not built here yet and
// is refused as such.
#include "control/base/ControlText.h"
#include "control/formats/Base64.h"
#include "control/formats/SystemInfo.h"
#include "control/members/AutomationToJson.h"
#include "control/members/SiteActions.h"
#include "control/win32/ImageDecode.h"
#include "control/win32/RawJobs.h"
#include "control/win32/WinPrinterControl.h"

namespace {
// Members that make no sense with raw bytes, which go to the printer unchanged.
const char* const kNotWithRaw[] = {"html", "url", "file", "data", "paper", "mediaSource", "mediaType", "colorMode",
                                   "scaling", "quality", "resolution", "collate", "pagesPerSheet", "outputBin",
                                   "finishings", "duplex", "landscape", "margins", "pageRanges"};
// Printer features an image job cannot ask for on Windows yet.
const char* const kNotBuiltForImages[] = {"mediaSource", "mediaType", "scaling",  "quality",    "resolution",
                                          "collate",     "pagesPerSheet", "outputBin", "finishings", "duplex",
                                          "margins",     "pageRanges"};
constexpr size_t kMaxImageBytes = 64u << 20;

bool Fail(std::string* code, std::string* error, const char* c, const std::string& text) {
  *code = c;
  *error = text;
  return false;
}

// An image job's bytes and type from its "data" (base64 or a base64 data:
// address) and "type". False with *code and *error.
bool ReadImageData(const Json::Value& job, std::string* bytes, std::string* mime, std::string* code,
                   std::string* error) {
  if (!job["data"].isString())
    return Fail(code, error, "badJob", "'data' must be base64 text or a base64 data: address");
  std::string text = job["data"].asString();
  if (text.rfind("data:", 0) == 0) {
    const size_t comma = text.find(',');
    const std::string head = comma == std::string::npos ? std::string() : text.substr(5, comma - 5);
    if (head.size() < 7 || head.compare(head.size() - 7, 7, ";base64") != 0)
      return Fail(code, error, "badData", "a data: address must be base64");
    *mime = head.substr(0, head.find(';'));
    text.erase(0, comma + 1);
  }
  if (job["type"].isString()) *mime = job["type"].asString();
  else if (!job["type"].isNull()) return Fail(code, error, "badJob", "'type' must be a MIME type");
  if (text.size() / 4 * 3 > kMaxImageBytes + 3)
    return Fail(code, error, "badData", "the job's data is more than 64 MiB");
  if (!Base64Decode(text, bytes)) return Fail(code, error, "badData", "the job's data is not valid base64");
  return true;
}

// An image job's page from its bytes, their type (the job's, or "" to tell it
// from the bytes), "paper", "landscape", "copies" and "colorMode". False with
// *code and *error.
bool ReadImageJob(const Json::Value& job, std::string mime, RawJob* out, std::string* code, std::string* error) {
  auto fail = [&](const char* c, const std::string& text) { return Fail(code, error, c, text); };
  for (const char* member : kNotBuiltForImages) {
    if (job.isMember(member))
      return fail("notBuilt", std::string("'") + member + "' is not built for images in the Windows control yet");
  }
  for (char& c : mime) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (mime == "image/jpg") mime = "image/jpeg";
  if (mime.empty()) mime = ImageTypeOf(out->bytes);
  if (mime.empty()) return fail("unknownType", "cannot tell what kind of document this is; give its \"type\"");
  if (!IsPrintableImageType(mime))
    return fail("notBuilt", "printing " + mime +
                                " is not built in the Windows control yet; PNG, JPEG, GIF, BMP and TIFF images are");
  out->image = true;
  const Json::Value& paper = job["paper"];
  if (paper.isObject()) return fail("notBuilt", "papers given by their size are not built in the Windows control yet");
  if (!paper.isNull() && !paper.isString()) return fail("badJob", "'paper' must be a paper name");
  out->page.paper = paper.isString() ? paper.asString() : std::string();
  const Json::Value& landscape = job["landscape"];
  if (!landscape.isNull() && !landscape.isBool()) return fail("badJob", "'landscape' must be true or false");
  out->page.landscape = landscape.isBool() && landscape.asBool();
  const Json::Value& copies = job["copies"];
  if (!copies.isNull()) {
    if (!copies.isIntegral() || copies.asInt64() < 1 || copies.asInt64() > 999)
      return fail("badJob", "'copies' must be a whole number from 1 to 999");
    out->page.copies = copies.asInt();
  }
  const Json::Value& color = job["colorMode"];
  if (!color.isNull()) {
    const std::string mode = color.isString() ? color.asString() : std::string();
    if (mode == "color" || mode == "colour") out->page.colorMode = "color";
    else if (mode == "monochrome" || mode == "grayscale") out->page.colorMode = "monochrome";
    else return fail("optionUnsupported", "colour mode '" + color.asString() + "' is not one of color, monochrome");
  }
  return true;
}
}  // namespace

HRESULT CWinPrinterControl::print(IDispatch* job, VARIANT_BOOL) {
  if (!Allowed()) return Refuse("print");
  StartPrintJob(job, "print");
  return S_OK;
}

void CWinPrinterControl::StartPrintJob(IDispatch* jobObject, const std::string& type) {
  const std::string id = NextJobId(type);
  const bool listening = m_jobSinks[id].Get() != nullptr;
  Json::Value job = jobObject ? DispatchToJson(jobObject) : Json::Value();
  if (!job.isObject()) return ReportJobFailure(type, id, "noJob", type + " needs a job object");
  const bool raw = job.isMember("raw");
  // The job's one content: raw bytes, an image's data or a file of the site.
  const char* content = nullptr;
  for (const char* member : {"raw", "data", "file", "html", "url"}) {
    if (!job.isMember(member)) continue;
    if (content)
      return ReportJobFailure(type, id, "badJob", std::string("a job has one content; '") + member + "' is one more");
    content = member;
  }
  if (!content || job.isMember("html") || job.isMember("url")) {
    return ReportJobFailure(type, id, "notBuilt",
                            "printing HTML and web addresses is not built in the Windows control yet; raw "
                            "jobs and images given as data or as files are");
  }
  if (raw) {
    for (const char* member : kNotWithRaw) {
      if (job.isMember(member))
        return ReportJobFailure(type, id, "badJob", std::string("a raw job cannot have '") + member + "'");
    }
  }
  RawJob spooled;
  spooled.id = id;
  spooled.type = type;
  spooled.listening = listening;
  const Json::Value& printer = job["printer"];
  if (!printer.isNull() && !printer.isString())
    return ReportJobFailure(type, id, "badJob", "'printer' must be a queue name");
  spooled.printer = printer.isString() ? printer.asString() : std::string();
  if (spooled.printer.rfind("socket://", 0) == 0)
    return ReportJobFailure(type, id, "notBuilt", "jobs to socket printers are not built in the Windows control yet");
  const bool titled = job["title"].isString() && !job["title"].asString().empty();
  spooled.title = titled ? job["title"].asString() : "Kestrix document";
  const Json::Value& follow = job["follow"];
  if (!follow.isNull()) {
    if (!follow.isNumeric() || follow.asDouble() < 0 || follow.asDouble() > 86400)
      return ReportJobFailure(type, id, "badJob", "'follow' must be a number of seconds from 0 to 86400");
    spooled.followSeconds = follow.asDouble();
  }
  std::string code, error;
  if (raw) {
    const Json::Value& copies = job["copies"];
    if (!copies.isNull() && !(copies.isNumeric() && copies.asDouble() == 1))
      return ReportJobFailure(type, id, "notBuilt", "copies of raw jobs are not built in the Windows control yet");
    if (!DecodeRawMember(job["raw"], &spooled.bytes, &code, &error)) return ReportJobFailure(type, id, code, error);
  } else if (job.isMember("file")) {
    // As the Linux control reads a file job: inside the site's folders, its
    // kind from its name, else from its first bytes.
    if (!job["file"].isString() || job["file"].asString().empty())
      return ReportJobFailure(type, id, "badJob", "'file' must be a path");
    std::string real;
    MemberFailure failure;
    if (!ReadJobFile(Files(), job["file"].asString(), &spooled.bytes, &real, &failure))
      return ReportJobFailure(type, id, failure.code, failure.message);
    if (!titled) spooled.title = real.substr(real.find_last_of("/\\") + 1);
    if (!ReadImageJob(job, MimeTypeFor(real), &spooled, &code, &error)) return ReportJobFailure(type, id, code, error);
  } else {
    std::string mime;
    if (!ReadImageData(job, &spooled.bytes, &mime, &code, &error) ||
        !ReadImageJob(job, mime, &spooled, &code, &error))
      return ReportJobFailure(type, id, code, error);
  }
  if (!m_rawJobs->Add(std::move(spooled), &error)) return ReportJobFailure(type, id, "queueFull", error);
}

HRESULT CWinPrinterControl::setPageURL(BSTR url) {
  if (!Allowed()) return Refuse("setPageURL");
  // As the Linux control reads it: a web page's address as its origin spells it.
  const std::string given = BstrToUtf8(url);
  std::string rest;
  m_origin = WebOrigin::Parse(given, &rest);
  m_pageUrl = m_origin.IsValid() ? m_origin.Key() + rest : given;
  return S_OK;
}

HRESULT CWinPrinterControl::setHostCode(LONG code) {
  if (!Allowed()) return Refuse("setHostCode");
  m_hostCode = code;
  return S_OK;
}
