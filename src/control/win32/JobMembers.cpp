// The job members on Windows: raw print jobs, the page's address and the
// host's code. Everything that renders or converts is not built here yet and
// is refused as such.
#include "control/base/ControlText.h"
#include "control/object/AutomationToJson.h"
#include "control/win32/RawJobs.h"
#include "control/win32/WinPrinterControl.h"

namespace {
// Members that make no sense with raw bytes, which go to the printer unchanged.
const char* const kNotWithRaw[] = {"html", "url", "file", "data", "paper", "mediaSource", "mediaType", "colorMode",
                                   "scaling", "quality", "resolution", "collate", "pagesPerSheet", "outputBin",
                                   "finishings", "duplex", "landscape", "margins", "pageRanges"};
}  // namespace

HRESULT CWinPrinterControl::print(IDispatch* job, VARIANT_BOOL) {
  if (!Allowed()) return Refuse("print");
  StartRawJob(job, "print");
  return S_OK;
}

void CWinPrinterControl::StartRawJob(IDispatch* jobObject, const std::string& type) {
  const std::string id = NextJobId(type);
  const bool listening = m_jobSinks[id].Get() != nullptr;
  Json::Value job = jobObject ? DispatchToJson(jobObject) : Json::Value();
  if (!job.isObject()) return ReportJobFailure(type, id, "noJob", type + " needs a job object");
  if (!job.isMember("raw")) {
    return ReportJobFailure(type, id, "notBuilt",
                            "printing HTML, web addresses, files and documents is not built in the Windows control "
                            "yet; raw jobs are");
  }
  for (const char* member : kNotWithRaw) {
    if (job.isMember(member))
      return ReportJobFailure(type, id, "badJob", std::string("a raw job cannot have '") + member + "'");
  }
  RawJob raw;
  raw.id = id;
  raw.type = type;
  raw.listening = listening;
  const Json::Value& printer = job["printer"];
  if (!printer.isNull() && !printer.isString())
    return ReportJobFailure(type, id, "badJob", "'printer' must be a queue name");
  raw.printer = printer.isString() ? printer.asString() : std::string();
  if (raw.printer.rfind("socket://", 0) == 0)
    return ReportJobFailure(type, id, "notBuilt", "raw jobs to socket printers are not built in the Windows control yet");
  const Json::Value& copies = job["copies"];
  if (!copies.isNull() && !(copies.isNumeric() && copies.asDouble() == 1))
    return ReportJobFailure(type, id, "notBuilt", "copies of raw jobs are not built in the Windows control yet");
  raw.title = job["title"].isString() && !job["title"].asString().empty() ? job["title"].asString() : "Kestrix document";
  const Json::Value& follow = job["follow"];
  if (!follow.isNull()) {
    if (!follow.isNumeric() || follow.asDouble() < 0 || follow.asDouble() > 86400)
      return ReportJobFailure(type, id, "badJob", "'follow' must be a number of seconds from 0 to 86400");
    raw.followSeconds = follow.asDouble();
  }
  std::string code, error;
  if (!DecodeRawMember(job["raw"], &raw.bytes, &code, &error)) return ReportJobFailure(type, id, code, error);
  if (!m_rawJobs->Add(std::move(raw), &error)) return ReportJobFailure(type, id, "queueFull", error);
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
