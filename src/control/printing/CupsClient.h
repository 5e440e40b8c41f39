// The print scheduler (CUPS) as the control uses it: queues, papers, status,
// the per-user default, job submission and job attributes. A client talks to
// cupsServer() (CUPS_SERVER, client.conf or the local socket) over one
// connection, opened on its first call and kept while calls follow closely
// (a job checks its options, submits and follows over one); one that has
// been idle for seconds, or that the scheduler has closed, is opened afresh.
// Waits are bounded, so a missing or silent scheduler fails within the
// time-out with "scheduler not reachable at ...". Results are JSON, text
// is UTF-8. Not for use from several threads at once (libcups keeps its last
// error per thread, which is fine; a CupsClient itself is not shared).
#pragma once

#include <json/json.h>

#include <chrono>
#include <string>
#include <vector>

struct _http_s;  // http_t of libcups

class CupsClient {
 public:
  // timeoutMs bounds the connect and every wait for the scheduler.
  explicit CupsClient(int timeoutMs = 2000);
  ~CupsClient();
  CupsClient(const CupsClient&) = delete;
  CupsClient& operator=(const CupsClient&) = delete;

  // The scheduler's address as libcups resolves it.
  static std::string ServerName();

  // Queue names (instances left out), sorted.
  bool Printers(std::vector<std::string>* names, std::string* error);
  // The default queue: the per-user one (lpoptions) first, then the
  // scheduler's. "" with true when there is none.
  bool DefaultPrinter(std::string* name, std::string* error);
  // Makes name the per-user default, as lpoptions -d does (for root that is
  // the lpoptions file of the scheduler's ServerRoot).
  bool SetDefaultPrinter(const std::string& name, std::string* error);
  // {name, info, location, makeAndModel, uri, deviceUri, state, stateReasons,
  //  conditions, accepting, shared, isDefault, color, duplex, defaultPaper}
  //  plus the capabilities (PrinterCapabilities.h: media, mediaSources, ...,
  //  markers, defaults).
  bool PrinterInfo(const std::string& name, Json::Value* info, std::string* error);
  // The queue's capabilities (PrinterCapabilities.h).
  bool Capabilities(const std::string& name, Json::Value* capabilities, std::string* error);
  // Looks the queue up (the default one when name is empty) and refuses job
  // options it does not report (CheckJobOptions), with the message saying
  // which. A job calls this before anything is rendered. *code names the
  // failure: "printerNotFound" (no such queue, no default, or a name no queue
  // can have), "optionUnsupported", "schedulerUnreachable" or "printerError".
  bool CheckOptions(const std::string& name, const Json::Value& options, std::string* code, std::string* error);
  // {name, state: idle|processing|stopped, reasons[], conditions[], markers[],
  //  accepting, message, queuedJobs, jobs: [...] when detail}
  bool PrinterStatus(const std::string& name, bool detail, Json::Value* status, std::string* error);
  // [{name, displayName, width, height, margins: {top,right,bottom,left}}], mm.
  bool Papers(const std::string& name, Json::Value* papers, std::string* error);
  // The queue's default paper as {name, width, height} (mm).
  bool DefaultPaper(const std::string& name, Json::Value* paper, std::string* error);
  bool CustomPaperSupported(const std::string& name, bool* supported, std::string* error);

  // Submits one document. options are IPP job template attributes as text
  // ("copies" -> "2", "media" -> "iso_a4_210x297mm", ...). *state (when
  // given): the job's state as the scheduler reported it on taking the job.
  bool SubmitJob(const std::string& printer, const std::string& title, const std::string& format,
                 const std::string& bytes, const Json::Value& options, int* jobId, std::string* error,
                 std::string* state = nullptr);
  // {id, state, stateReasons[], message, pagesPrinted, sizeBytes, submittedAt,
  //  userName, title, printerName}; state as in PrinterStatus's jobs.
  bool JobAttributes(int jobId, Json::Value* job, std::string* error);
  // 1-based place of jobId among the queue's unfinished jobs; 0 when not there.
  bool JobPosition(const std::string& printer, int jobId, int* position, std::string* error);

 private:
  _http_s* Connection(std::string* error);

  int m_timeoutMs;
  _http_s* m_http = nullptr;
  std::chrono::steady_clock::time_point m_lastUse;
};

// "pending", "held", "processing", "stopped", "canceled", "aborted", "completed".
std::string JobStateName(int ippJobState);
