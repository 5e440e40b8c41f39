#include "control/win32/RawJobs.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "control/base/JobLine.h"
#include "control/formats/Base64.h"
#include "control/win32/ModuleState.h"
#include "control/win32/Spooler.h"
#include "control/win32/WideText.h"

namespace {

constexpr size_t kMaxRawBytes = 64u << 20;
using Clock = std::chrono::steady_clock;

std::string NowText() {
  SYSTEMTIME t;
  ::GetSystemTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

std::string UserName() {
  wchar_t name[256];
  DWORD size = 256;
  return ::GetUserNameW(name, &size) && size > 0 ? Narrow(std::wstring_view(name, size - 1)) : std::string();
}

std::string MachineName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return ::GetComputerNameW(name, &size) ? Narrow(std::wstring_view(name, size)) : std::string();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// ---- one job's record and its lines ------------------------------------------------------
namespace {
class JobReport {
 public:
  JobReport(const RawJob& job, std::shared_ptr<EventQueue> events) : m_events(std::move(events)) {
    m_record["document"] = job.title;
    m_record["machineName"] = MachineName();
    m_record["position"] = 0;
    m_record["pagesPrinted"] = 0;
    m_record["printerName"] = job.printer;
    m_record["size"] = static_cast<Json::UInt64>(job.bytes.size());
    m_record["statusText"] = "";
    m_record["submittedAt"] = NowText();
    m_record["totalPages"] = 0;
    m_record["type"] = job.type;
    m_record["userName"] = UserName();
    m_record["status"] = "";
    m_record["id"] = job.id;
    m_record["jobId"] = 0;
  }
  Json::Value& Record() { return m_record; }
  void State(const std::string& state, const std::string& text) {
    m_record["status"] = state;
    m_record["statusText"] = text;
    m_events->Push(JobLine::State(m_record));
  }
  void Message(const std::string& code, const std::string& text) {
    m_events->Push(JobLine::Message("error", code, text, m_record["id"]));
  }
  void Done(bool ok, const std::string& text) {
    Json::Value result(Json::objectValue);
    result["type"] = m_record["type"];
    result["id"] = m_record["id"];
    result["jobId"] = m_record["jobId"];
    result["message"] = text;
    result["printerName"] = m_record["printerName"];
    m_events->Push(JobLine::Done(ok, std::move(result)));
  }

 private:
  std::shared_ptr<EventQueue> m_events;
  Json::Value m_record{Json::objectValue};
};
}  // namespace

struct RawJobs::Shared {
  std::shared_ptr<EventQueue> events;
  std::mutex mu;
  std::condition_variable wake;
  std::deque<RawJob> waiting;
  size_t waitingBytes = 0;
  size_t unfinished = 0;  // jobs: waiting, being handed over or followed
  bool running = false;
  bool ownerGone = false;

  // A job the spooler has: what following it needs, not its data.
  struct Following {
    std::string printer;
    double followSeconds = 0;
    std::unique_ptr<JobReport> report;
    DWORD jobId = 0;
    Clock::time_point deadline;
    Clock::time_point next;
    int delayMs = 50;
    int failures = 0;
    std::string last;  // the last state and text reported
    std::string lastState = "pending";
  };

  // The thread: hands jobs over in order and follows them, until nothing is left.
  static void Run(std::shared_ptr<Shared> self) {
    ModuleHold hold;
    // Images are decoded through COM (the imaging component).
    const bool com = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    struct ComEnd {
      bool on;
      ~ComEnd() {
        if (on) ::CoUninitialize();
      }
    } comEnd{com};
    std::vector<Following> following;
    for (;;) {
      RawJob job;
      bool haveJob = false;
      {
        std::unique_lock lock(self->mu);
        if (self->ownerGone) following.clear();
        if (self->waiting.empty() && following.empty()) {
          self->running = false;
          self->unfinished = 0;
          return;
        }
        if (!self->waiting.empty()) {
          job = std::move(self->waiting.front());
          self->waiting.pop_front();
          self->waitingBytes -= job.bytes.size();
          haveJob = true;
          // The ones behind it hear their new places.
          size_t place = 1;
          for (const RawJob& behind : self->waiting) {
            JobReport report(behind, self->events);
            report.Record()["position"] = static_cast<Json::UInt64>(place++);
            report.State("queued", "Waiting for the job before it");
          }
        } else {
          auto next = following.front().next;
          for (const auto& f : following) next = std::min(next, f.next);
          self->wake.wait_until(lock, next, [&] { return !self->waiting.empty() || self->ownerGone; });
        }
      }
      if (haveJob) Submit(self, std::move(job), &following);
      FollowDue(self, &following);
    }
  }

  static void Submit(const std::shared_ptr<Shared>& self, RawJob job, std::vector<Following>* following) {
    auto report = std::make_unique<JobReport>(job, self->events);
    std::string printer = job.printer, error;
    if (!spooler::ResolvePrinter(job.printer, &printer, &error)) {
      report->Message(spooler::SpoolerUnreachable(error) ? "schedulerUnreachable" : "printerError", error);
      report->Done(false, error);
      Finished(self);
      return;
    }
    job.printer = printer;
    report->Record()["printerName"] = printer;
    report->State("submitting", "Sending to the print spooler");
    DWORD jobId = 0;
    std::string code = "submitFailed";
    const bool handed = job.image ? SubmitImage(job, &jobId, &code, &error)
                                  : spooler::WriteRaw(printer, job.title, job.bytes, &jobId, &error);
    if (!handed) {
      report->Message(spooler::SpoolerUnreachable(error) ? "schedulerUnreachable" : code, error);
      report->Done(false, error);
      Finished(self);
      return;
    }
    report->Record()["jobId"] = static_cast<Json::UInt>(jobId);
    if (!job.listening) {  // nobody hears it: the spooler has it, that is all
      Finished(self);
      return;
    }
    Following f;
    f.jobId = jobId;
    f.deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(job.followSeconds * 1000));
    f.next = Clock::now();
    f.printer = job.printer;
    f.followSeconds = job.followSeconds;
    f.report = std::move(report);
    following->push_back(std::move(f));
  }

  static bool SubmitImage(const RawJob& job, DWORD* jobId, std::string* code, std::string* error) {
    DecodedImage image;
    if (!DecodeImage(job.bytes, &image, code, error)) return false;
    // Each copy is drawn again, and the spooler keeps every one.
    const uint64_t drawn = uint64_t{image.width} * image.height * static_cast<uint64_t>(std::max(job.page.copies, 1));
    if (drawn > RawJobs::kMaxDrawnPixels) {
      *code = "imageTooLarge";
      *error = std::to_string(job.page.copies) + " copies of a " + std::to_string(image.width) + " x " +
               std::to_string(image.height) + " image are " + std::to_string(drawn) + " pixels to draw; at most " +
               std::to_string(RawJobs::kMaxDrawnPixels) +
               " are drawn in one job (print fewer copies or a smaller image)";
      return false;
    }
    if (job.page.colorMode == "monochrome") MakeGray(&image);
    return PrintImage(job.printer, job.title, image, job.page, jobId, code, error);
  }

  static void Finished(const std::shared_ptr<Shared>& self) {
    std::lock_guard lock(self->mu);
    if (self->unfinished > 0) --self->unfinished;
  }

  // Asks the spooler about every followed job that is due.
  static void FollowDue(const std::shared_ptr<Shared>& self, std::vector<Following>* following) {
    const auto now = Clock::now();
    for (auto it = following->begin(); it != following->end();) {
      if (it->next > now) {
        ++it;
        continue;
      }
      if (FollowOnce(&*it)) {
        it = following->erase(it);
        Finished(self);
      } else {
        it->next = Clock::now() + std::chrono::milliseconds(it->delayMs);
        it->delayMs = std::min(it->delayMs * 2, 1000);
        ++it;
      }
    }
  }

  // True when the job has ended (its OnDone queued).
  static bool FollowOnce(Following* f) {
    spooler::JobState state;
    bool gone = false;
    std::string error;
    JobReport& report = *f->report;
    const std::string id = std::to_string(f->jobId);
    if (spooler::GetJobState(f->printer, f->jobId, &state, &gone, &error)) {
      f->failures = 0;
      report.Record()["position"] = state.position;
      report.Record()["pagesPrinted"] = state.pagesPrinted;
      if (state.totalPages > 0) report.Record()["totalPages"] = state.totalPages;
      if (!state.userName.empty()) report.Record()["userName"] = state.userName;
      if (!state.submittedAt.empty()) report.Record()["submittedAt"] = state.submittedAt;
      const std::string text = state.message.empty() ? DescribeJobState(state.state, state.position) : state.message;
      if (state.state + "\n" + text != f->last) {
        report.State(state.state, text);
        f->last = state.state + "\n" + text;
      }
      f->lastState = state.state;
      if (IsFinalJobState(state.state)) {
        report.Done(state.state == "completed", "job " + id + " " + state.state +
                                                    (state.state != "completed" && !state.message.empty()
                                                         ? ": " + state.message : ""));
        return true;
      }
    } else if (gone) {
      // The spooler removes a job once it is printed; one seen being
      // deleted was canceled.
      const bool canceled = f->lastState == "canceled";
      report.Record()["position"] = 0;
      report.State(canceled ? "canceled" : "completed", canceled ? "Canceled" : "Completed");
      report.Done(!canceled, "job " + id + (canceled ? " canceled" : " completed"));
      return true;
    } else if (++f->failures >= 5) {
      report.Message("followFailed", "lost track of job " + id + ": " + error);
      report.Done(false, "lost track of job " + id + ": " + error);
      return true;
    }
    if (Clock::now() >= f->deadline) {
      report.Done(false, "job " + id + " is still " + f->lastState + " after " +
                             std::to_string(static_cast<int>(f->followSeconds)) +
                             " s; it stays queued at the spooler");
      return true;
    }
    return false;
  }
};

RawJobs::RawJobs(std::shared_ptr<EventQueue> events) : m_shared(std::make_shared<Shared>()) {
  m_shared->events = std::move(events);
}

RawJobs::~RawJobs() {
  std::lock_guard lock(m_shared->mu);
  m_shared->ownerGone = true;
  m_shared->wake.notify_all();
}

bool RawJobs::Add(RawJob job, std::string* error) {
  std::unique_lock lock(m_shared->mu);
  const size_t unfinished = m_shared->unfinished;  // every job from here to its OnDone
  if (unfinished >= kMaxJobs) {
    *error = "too many jobs: " + std::to_string(unfinished) + " are waiting or being followed (at most " +
             std::to_string(kMaxJobs) + ")";
    return false;
  }
  if (m_shared->waitingBytes + job.bytes.size() > kMaxWaitingBytes) {
    *error = "the waiting jobs hold too much data (at most " + std::to_string(kMaxWaitingBytes >> 20) + " MiB)";
    return false;
  }
  if (!m_shared->waiting.empty()) {  // behind jobs not yet handed over
    JobReport report(job, m_shared->events);
    report.Record()["position"] = static_cast<Json::UInt64>(m_shared->waiting.size() + 1);
    report.State("queued", "Waiting for the job before it");
  }
  m_shared->waitingBytes += job.bytes.size();
  m_shared->waiting.push_back(std::move(job));
  ++m_shared->unfinished;
  if (!m_shared->running) {
    m_shared->running = true;
    try {
      std::thread(&Shared::Run, m_shared).detach();
    } catch (const std::exception&) {
      m_shared->running = false;
      m_shared->waitingBytes -= m_shared->waiting.back().bytes.size();
      m_shared->waiting.pop_back();
      --m_shared->unfinished;
      *error = "cannot start the job thread";
      return false;
    }
  }
  m_shared->wake.notify_all();
  return true;
}

bool DecodeRawMember(const Json::Value& raw, std::string* bytes, std::string* code, std::string* error) {
  bytes->clear();
  *code = "badJob";
  if (raw.isString() || (raw.isObject() && raw["base64"].isString())) {
    std::string text = raw.isString() ? raw.asString() : raw["base64"].asString();
    // A base64 data: address is taken as its payload.
    if (text.rfind("data:", 0) == 0) {
      size_t comma = text.find(',');
      if (comma == std::string::npos || text.substr(0, comma).find(";base64") == std::string::npos) {
        *error = "raw: a data: address must be base64";
        return false;
      }
      text = text.substr(comma + 1);
    }
    if (text.size() / 4 * 3 > kMaxRawBytes + 3 || !Base64Decode(text, bytes)) {
      *error = bytes->size() > kMaxRawBytes ? "raw: more than 64 MiB" : "raw: not valid base64";
      return false;
    }
  } else if (raw.isObject() && raw["hex"].isString()) {
    const std::string& hex = raw["hex"].asString();
    int high = -1;
    for (char c : hex) {
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        if (high >= 0) break;
        continue;
      }
      int digit = HexDigit(c);
      if (digit < 0) {
        *error = "raw: hex holds something that is not a hex digit";
        return false;
      }
      if (high < 0) {
        high = digit;
      } else {
        bytes->push_back(static_cast<char>(high * 16 + digit));
        high = -1;
      }
      if (bytes->size() > kMaxRawBytes) break;
    }
    if (high >= 0) {
      *error = "raw: hex digits must come in pairs";
      return false;
    }
  } else if (raw.isObject() && raw["text"].isString()) {
    const std::string& text = raw["text"].asString();
    std::string encoding = raw.get("encoding", "UTF-8").asString();
    std::transform(encoding.begin(), encoding.end(), encoding.begin(), [](char c) {
      return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    });
    if (encoding == "UTF-8" || encoding == "UTF8") {
      *bytes = text;
    } else if (encoding == "ISO-8859-1" || encoding == "LATIN1" || encoding == "US-ASCII" || encoding == "ASCII") {
      const wchar_t limit = encoding.find("ASCII") != std::string::npos ? 0x7F : 0xFF;
      for (wchar_t c : Wide(text)) bytes->push_back(c <= limit ? static_cast<char>(c) : '?');
    } else {
      *code = "notBuilt";
      *error = "raw: the encoding '" + raw["encoding"].asString() + "' is not built in the Windows control yet";
      return false;
    }
  } else {
    *error = "raw must be base64 text or an object with base64, hex or text";
    return false;
  }
  if (bytes->size() > kMaxRawBytes) {
    *error = "raw: more than 64 MiB";
    return false;
  }
  return true;
}
