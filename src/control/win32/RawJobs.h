// Spooler jobs on Windows: raw bytes handed to the spooler unchanged
// (WritePrinter, data type RAW), or images decoded and drawn on the printer's
// device context (DcPrint.h), then followed (GetJob) until they end. One
// thread of their own does all of it, in the order the jobs were asked for, so the main thread
// never waits for the spooler. Each job reports through the event queue:
// OnJobState "queued" (only while another job is being handed over),
// "submitting", then the spooler's states, then OnDone exactly once.
//
// Bounds: at most kMaxJobs unfinished jobs (waiting, being handed over or
// followed) and kMaxWaitingBytes of data waiting; beyond them a job is
// refused at once ("queueFull"), nothing of it started. An image's copies
// are each drawn (and spooled) again: at most kMaxDrawnPixels in all, else
// "imageTooLarge" before anything is drawn.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>

#include "control/win32/DcPrint.h"
#include "control/win32/EventQueue.h"

struct RawJob {
  std::string id;          // the control's job id
  std::string type;        // "print"
  std::string printer;     // "" for the default printer
  std::string title;
  std::string bytes;       // raw: as they go to the printer; image: the encoded image
  bool image = false;      // draw bytes (an image) on the printer's page
  PageSettings page;       // the page of an image
  double followSeconds = 600;
  bool listening = true;   // a sink hears this job: follow it after submission
};

class RawJobs {
 public:
  static constexpr size_t kMaxJobs = 100;
  static constexpr size_t kMaxWaitingBytes = 256u << 20;
  static constexpr uint64_t kMaxDrawnPixels = 4 * kMaxImagePixels;  // 512 MiB of pixels

  explicit RawJobs(std::shared_ptr<EventQueue> events);
  // Jobs already asked for are still handed to the spooler; following stops.
  ~RawJobs();
  RawJobs(const RawJobs&) = delete;
  RawJobs& operator=(const RawJobs&) = delete;

  // False with *error naming the bound when the job cannot be taken.
  bool Add(RawJob job, std::string* error);

  struct Shared;

 private:
  std::shared_ptr<Shared> m_shared;
};

// Bytes of a job's "raw" member: base64 text, {"base64"}, {"hex"} or {"text"}
// (UTF-8, or "encoding": "ISO-8859-1" / "US-ASCII" with "?" for what they
// lack). False with *error (the job's "badJob" or "notBuilt" text) and *code.
bool DecodeRawMember(const Json::Value& raw, std::string* bytes, std::string* code, std::string* error);
