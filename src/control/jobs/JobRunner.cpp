#include "control/jobs/JobRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "control/base/JobLine.h"
#include "control/formats/Base64.h"
#include "control/render/ChromiumRenderer.h"
#include "control/printing/PdfPages.h"
#include "control/base/ControlPaths.h"
#include "control/base/Spawn.h"
#include "control/printing/CupsClient.h"
#include "control/site/FileStore.h"
#include "control/jobs/JobRequest.h"
#include "control/jobs/JobSlot.h"
#include "control/printing/RawPrinter.h"
#include "control/render/RenderService.h"
#include "control/base/Trace.h"
#include "control/base/DesktopOpen.h"

namespace {
using Clock = std::chrono::steady_clock;

std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

class Job {
 public:
  Job(const Json::Value& request, JobReporter& reporter)
      : m_request(request), m_reporter(reporter), m_record(NewJobRecord(request)), m_begun(Clock::now()) {}

  ~Job() { StopWatchdog(); }

  int Run() {
    // One of the user's job places first: it bounds the browsers running at
    // once across every host of this user, not only this control's.
    const int places = std::clamp(m_request.get("places", 2).asInt(), 1, 16);
    // A printer that is not there, or lacks what the job asks for, is refused
    // before the job waits for a place or renders anything.
    if (m_request["mode"].asString() == "print" && !m_request.isMember("socket")) {
      if (!CheckPrinter()) return 1;
      Trace("job: printer and options checked");
    }
    if (!m_slot.Acquire(places, kPlaceWaitSeconds,
                        [&] { State("queued", "Waiting for another job of this user to finish"); }))
      return Fail("queueFull", "no job place became free within " + std::to_string(kPlaceWaitSeconds) +
                                   " s: other jobs of this user are still running");
    Trace("job: place taken");
    m_begun = Clock::now();  // the time limit counts from here, as the watchdog does
    StartWatchdog(std::clamp(m_request.get("timeLimitSeconds", 300).asInt(), 1, 3600));
    std::string bytes, mime;
    bool render = false;
    if (!LoadContent(&bytes, &mime, &render)) return 1;
    const std::string mode = m_request["mode"].asString();
    if (mode == "print") return Print(bytes, mime, render);
    return WriteFile(mode, bytes, mime, render);
  }

 private:
  static constexpr int kPlaceWaitSeconds = 600;
  static constexpr int kBackstopGraceMs = 5000;

  // ---- time limit ----------------------------------------------------------------
  // Rendering and handing over must end within the limit; when they do not,
  // the browser goes, the control hears why, and the process ends.
  void StartWatchdog(int seconds) {
    m_watchdog = std::thread([this, seconds] {
      std::unique_lock lock(m_watchMutex);
      if (m_watchCv.wait_for(lock, std::chrono::seconds(seconds), [&] { return m_watchStopped; })) return;
      lock.unlock();
      {
        // Silence the job's own thread first: once its browser is gone it would
        // report that loss, and under load it could do so before the limit is.
        std::lock_guard emitting(m_emitMutex);
        m_listening = false;
      }
      ChromiumRenderer::AbortRunning();
      const std::string text = "the job did not finish within its time limit of " + std::to_string(seconds) +
                               " s; it was stopped";
      // Built from the request alone: the job's own thread may be changing its record.
      const Json::Value message = JobLine::Message("error", "timeLimit", text, m_request["id"]);
      Json::Value done = JobLine::Failed(m_request, text);
      done["result"]["code"] = "timeLimit";
      std::lock_guard emitting(m_emitMutex);
      m_reporter.Emit(message);
      m_reporter.Emit(done);
      _exit(4);
    });
  }
  void StopWatchdog() {
    {
      std::lock_guard lock(m_watchMutex);
      m_watchStopped = true;
    }
    m_watchCv.notify_all();
    if (m_watchdog.joinable()) m_watchdog.join();
  }
  // The document is with the scheduler: the job's place and time limit end.
  void ReleasePlace() {
    StopWatchdog();
    m_slot.Release();
    Emit(JobLine::Released(m_request["id"]));
  }

  // ---- reporting ---------------------------------------------------------------
  void Emit(const Json::Value& line) {
    std::lock_guard emitting(m_emitMutex);
    if (m_listening && !m_reporter.Emit(line)) m_listening = false;
  }
  void State(const std::string& status, const std::string& text) {
    m_record["status"] = status;
    m_record["statusText"] = text;
    if (m_record == m_lastSent) return;
    m_lastSent = m_record;
    Emit(JobLine::State(m_record));
  }
  void Message(const std::string& code, const std::string& text) {
    Emit(JobLine::Message("error", code, text, m_request["id"]));
  }
  int Done(bool success, const std::string& text, const Json::Value& extra = Json::Value()) {
    Json::Value result(Json::objectValue);
    result["type"] = m_request["type"];
    result["id"] = m_request["id"];
    result["jobId"] = m_record["jobId"];
    result["message"] = text;
    if (!m_record["printerName"].asString().empty()) result["printerName"] = m_record["printerName"];
    if (extra.isObject())
      for (const auto& key : extra.getMemberNames()) result[key] = extra[key];
    Emit(JobLine::Done(success, std::move(result)));
    return success ? 0 : 1;
  }
  // The failure's code goes with the message and with the outcome.
  int Fail(const std::string& code, const std::string& text, Json::Value extra = Json::Value(Json::objectValue)) {
    Message(code, text);
    extra["code"] = code;
    return Done(false, text, extra);
  }
  int Failed(const std::string& code, const std::string& text) {
    Json::Value extra(Json::objectValue);
    extra["code"] = code;
    return Done(false, text, extra);
  }

  // The job's printer and options, as the scheduler knows them; a printer
  // that is not there fails with the names of those that are.
  bool CheckPrinter() {
    std::string code, error;
    if (m_cups.CheckOptions(m_request["printer"].asString(), m_request["cupsOptions"], &code, &error)) return true;
    Json::Value extra(Json::objectValue);
    std::vector<std::string> names;
    std::string ignored;
    if (code == "printerNotFound" && m_cups.Printers(&names, &ignored)) {
      extra["printers"] = Json::Value(Json::arrayValue);
      for (const auto& name : names) extra["printers"].append(name);
    }
    Fail(code, error, extra);
    return false;
  }

  // ---- content -------------------------------------------------------------------
  bool LoadContent(std::string* bytes, std::string* mime, bool* render) {
    const Json::Value& source = m_request["source"];
    *mime = source.get("mime", "").asString();
    if (source.isMember("html") || source.isMember("url")) {
      *render = true;
      return true;
    }
    if (source.isMember("file")) {
      if (!ReadWholeFile(source["file"].asString(), bytes, size_t(1) << 30)) {
        Fail("fileUnreadable", "cannot read " + source["file"].asString());
        return false;
      }
    } else if (!Base64Decode(source["data"].asString(), bytes)) {
      Fail("badData", "the job's data is not valid base64");
      return false;
    }
    if (mime->empty()) *mime = SniffMimeType(*bytes);
    if (mime->empty()) {
      Fail("unknownType", "cannot tell what kind of document this is; give its \"type\"");
      return false;
    }
    *render = *mime == "text/html" || *mime == "application/xhtml+xml";
    return true;
  }

  // The request for Chromium; HTML read from a file or data becomes served HTML.
  RenderRequest MakeRender(const std::string& bytes, bool png) {
    const Json::Value& source = m_request["source"];
    const Json::Value& r = m_request["render"];
    RenderRequest req;
    req.output = png ? RenderRequest::Output::Png : RenderRequest::Output::Pdf;
    if (source.isMember("url")) {
      req.url = source["url"].asString();
    } else {
      req.html = source.isMember("html") ? source["html"].asString() : bytes;
      req.documentUrl = source.get("documentUrl", "http://kestrix.invalid/document.html").asString();
    }
    req.paperGiven = r.get("paperGiven", false).asBool();
    req.paperWidthMm = r.get("paperWidthMm", 210.0).asDouble();
    req.paperHeightMm = r.get("paperHeightMm", 297.0).asDouble();
    req.landscape = r.get("landscape", false).asBool();
    req.marginsGiven = r.get("marginsGiven", false).asBool();
    req.marginTopMm = r.get("marginTopMm", 10.0).asDouble();
    req.marginRightMm = r.get("marginRightMm", 10.0).asDouble();
    req.marginBottomMm = r.get("marginBottomMm", 10.0).asDouble();
    req.marginLeftMm = r.get("marginLeftMm", 10.0).asDouble();
    req.printBackground = r.get("printBackground", true).asBool();
    req.pageRanges = r.get("pageRanges", "").asString();
    req.extraCss = r.get("extraCss", "").asString();
    req.imageWidth = r.get("imageWidth", 1024).asInt();
    req.timeoutMs = r.get("timeoutMs", 60000).asInt();
    req.network = NetworkPolicy::FromJson(m_request["network"]);
    return req;
  }

  bool Render(const RenderRequest& req, std::string* output) {
    ChromiumRenderer renderer;
    State("rendering", "Rendering with " + (renderer.Executable().empty() ? std::string("chromium") : renderer.Executable()));
    std::string error, code;
    // The warm renderer when the control started one; else (or when it is
    // gone) a browser of this job's own.
    WarmOutcome warm = WarmOutcome::Unavailable;
    if (m_request.get("warm", false).asBool()) {
      // The shared browser must not stay on a page long after this job's time
      // limit. The watchdog ends the job at the limit itself (and the service
      // then lets the page go); this bound is the backstop, a little later, so
      // that a loaded machine never reports the render's end in the limit's place.
      RenderRequest bounded = req;
      const long long limitMs = std::clamp(m_request.get("timeLimitSeconds", 300).asInt(), 1, 3600) * 1000LL;
      const long long used = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_begun).count();
      bounded.timeoutMs =
          static_cast<int>(std::clamp<long long>(limitMs - used + kBackstopGraceMs, 1000, req.timeoutMs));
      warm = RenderWithService(bounded, m_request.get("hostPid", 0).asInt(), 3000, output, &error, &code);
    }
    const bool ok = warm == WarmOutcome::Unavailable ? renderer.Render(req, output, &error, &code)
                                                     : warm == WarmOutcome::Rendered;
    if (!ok) {
      Fail(code, error);
      return false;
    }
    return true;
  }

  // ---- printing ------------------------------------------------------------------
  int Print(std::string bytes, std::string mime, bool render) {
    std::string printer = m_request["printer"].asString();
    Json::Value options = m_request["cupsOptions"];
    CupsClient& cups = m_cups;  // the printer and options were checked before the job took its place
    std::string error;
    if (m_request.isMember("socket")) return SendRaw(bytes);
    if (render) {
      RenderRequest req = MakeRender(bytes, false);
      if (!req.paperGiven) {
        // Lay the page out on the printer's own paper.
        Json::Value paper;
        if (cups.DefaultPaper(printer, &paper, &error)) {
          req.paperWidthMm = paper["width"].asDouble();
          req.paperHeightMm = paper["height"].asDouble();
        }
      }
      std::string pdf;
      if (!Render(req, &pdf)) return 1;
      Trace("job: rendered");
      bytes = std::move(pdf);
      mime = "application/pdf";
      // Chromium has applied these already.
      options.removeMember("page-ranges");
      options.removeMember("orientation-requested");
      m_record["totalPages"] = CountPdfPages(bytes);
    } else if (mime == "application/pdf") {
      m_record["totalPages"] = CountPdfPages(bytes);
    }
    m_record["size"] = static_cast<Json::UInt64>(bytes.size());
    State("submitting", "Sending to the print scheduler");
    int jobId = 0;
    std::string state;
    if (!cups.SubmitJob(printer, m_request["title"].asString(), mime, bytes, options, &jobId, &error, &state)) {
      std::string code = error.rfind("scheduler not reachable", 0) == 0 ? "schedulerUnreachable" : "submitFailed";
      return Fail(code, error);
    }
    Trace("job: submitted");
    m_record["jobId"] = jobId;
    // From here on the job is the scheduler's: with nobody listening, stop.
    ReleasePlace();
    // The page hears at once that the scheduler has it (its answer said in
    // what state); following it goes on from there.
    if (!IsFinalJobState(state)) State(state, DescribeJobState(state, 0));
    if (!m_listening || !m_reporter.Listening()) return 0;
    // Following takes one of the user's followers' places, never a wait.
    const int followers = std::clamp(m_request.get("followers", 100).asInt(), 1, 1000);
    if (m_request.get("followSeconds", 600).asDouble() > 0 && !m_follower.Acquire(followers, 0, nullptr))
      return Done(false, "job " + std::to_string(jobId) + " is with the scheduler and stays queued there; it is not "
                         "followed: " + std::to_string(followers) + " jobs of this user are followed already");
    return Follow(cups, jobId);
  }

  // A raw job to a socket printer the user listed: no scheduler, no queue.
  int SendRaw(const std::string& bytes) {
    const std::string address = m_request["socket"].asString();
    m_record["size"] = static_cast<Json::UInt64>(bytes.size());
    State("submitting", "Sending to " + address);
    std::string error;
    if (!SendToSocket(address, bytes, 30000, &error)) return Fail("submitFailed", error);
    State("completed", "Sent to " + address);
    return Done(true, std::to_string(bytes.size()) + " bytes sent to " + address);
  }

  int Follow(CupsClient& cups, int jobId) {
    const double followSeconds = std::clamp(m_request.get("followSeconds", 600).asDouble(), 0.0, 86400.0);
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(followSeconds * 1000));
    int delayMs = 50;
    int failures = 0;
    std::string state = "pending";
    for (;;) {
      Json::Value job;
      std::string error;
      Trace("job: asks for the job's state");
      if (cups.JobAttributes(jobId, &job, &error)) {
        failures = 0;
        state = job["state"].asString();
        if (!job["printerName"].asString().empty()) m_record["printerName"] = job["printerName"];
        m_record["pagesPrinted"] = job["pagesPrinted"];
        if (!job["submittedAt"].asString().empty()) m_record["submittedAt"] = job["submittedAt"];
        if (!job["userName"].asString().empty()) m_record["userName"] = job["userName"];
        int position = 0;
        if (!IsFinalJobState(state)) cups.JobPosition(m_record["printerName"].asString(), jobId, &position, &error);
        m_record["position"] = position;
        std::string text = job["message"].asString();
        if (text.empty()) text = DescribeJobState(state, position);
        State(state, text);
        if (IsFinalJobState(state)) {
          if (state == "completed") return Done(true, "job " + std::to_string(jobId) + " completed");
          std::string why = job["message"].asString();
          if (why.empty() && job["stateReasons"].size() > 0) why = job["stateReasons"][0].asString();
          return Failed(state == "canceled" ? "jobCanceled" : "jobAborted",
                        "job " + std::to_string(jobId) + " " + state + (why.empty() ? "" : ": " + why));
        }
      } else if (++failures >= 5) {
        return Fail("followFailed", "lost track of job " + std::to_string(jobId) + ": " + error);
      }
      // The host that listened has gone: the scheduler keeps the job, nobody needs its news.
      if (!m_listening || !m_reporter.Listening()) return 0;
      if (Clock::now() >= deadline)
        return Failed("jobStillQueued", "job " + std::to_string(jobId) + " is still " + state + " after " +
                               std::to_string(static_cast<int>(followSeconds)) +
                               " s; it stays queued at the scheduler");
      poll(nullptr, 0, delayMs);
      delayMs = std::min(delayMs * 2, 1000);
    }
  }

  // ---- files ---------------------------------------------------------------------
  int WriteFile(const std::string& mode, const std::string& bytes, const std::string& mime, bool render) {
    const bool png = mode == "png";
    std::string output;
    if (render) {
      if (!Render(MakeRender(bytes, png), &output)) return 1;
    } else if ((png && mime == "image/png") || (!png && mime == "application/pdf")) {
      output = bytes;  // already what was asked for
    } else if (mime == "image/png" || mime == "image/jpeg" || mime == "image/gif") {
      std::string html = "<!DOCTYPE html><html><body style=\"margin:0\"><img style=\"max-width:100%\" src=\"data:" +
                         mime + ";base64," + Base64Encode(bytes) + "\"></body></html>";
      if (!Render(MakeRenderOf(html, png), &output)) return 1;
    } else if (mime == "text/plain") {
      std::string html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body><pre style=\"white-space:pre-wrap\">" +
                         EscapeHtml(bytes) + "</pre></body></html>";
      if (!Render(MakeRenderOf(html, png), &output)) return 1;
    } else {
      return Fail("cannotConvert", "cannot turn " + mime + " into " + (png ? "PNG" : "PDF"));
    }
    const std::string path = m_request["output"].asString();
    // The site's room at the output's real size, under its room lock until the rename.
    const Json::Value& bounds = m_request["room"];
    SiteQuota room;
    room.siteBytes = bounds.get("siteBytes", Json::UInt64(room.siteBytes)).asUInt64();
    room.siteEntries = bounds.get("siteEntries", Json::UInt64(room.siteEntries)).asUInt64();
    room.minFree = bounds.get("minFree", Json::UInt64(room.minFree)).asUInt64();
    const FileStore files(bounds["site"].asString(), {}, {}, room);
    std::string error;
    if (!files.Place(path, output, &error))
      return Fail(error.rfind("no room", 0) == 0 ? "noRoom" : "writeFailed", error);
    m_record["size"] = static_cast<Json::UInt64>(output.size());
    if (!png) m_record["totalPages"] = CountPdfPages(output);
    State("completed", "Written to " + path);
    Json::Value extra(Json::objectValue);
    extra["file"] = path;
    if (mode == "preview") {
      // Opened as openFile opens: only when its bytes are what its name says
      // (the job's declared type is the page's word, not the file's).
      std::string code, why;
      extra["opened"] = OpenDocument(path, &code, &why);
      if (code == "fileTypeRefused") Message(code, why);
    }
    return Done(true, "written to " + path, extra);
  }

  RenderRequest MakeRenderOf(const std::string& html, bool png) {
    RenderRequest req = MakeRender(html, png);
    req.url.clear();
    req.html = html;
    return req;
  }


  const Json::Value& m_request;
  JobReporter& m_reporter;
  Json::Value m_record;
  Json::Value m_lastSent;
  std::mutex m_emitMutex;
  std::atomic<bool> m_listening{true};
  JobSlot m_slot;
  JobSlot m_follower{"follow-slot-"};
  CupsClient m_cups{30000};
  Clock::time_point m_begun;
  std::thread m_watchdog;
  std::mutex m_watchMutex;
  std::condition_variable m_watchCv;
  bool m_watchStopped = false;
};
}  // namespace

int RunJob(const Json::Value& request, JobReporter& reporter) {
  Job job(request, reporter);
  return job.Run();
}
