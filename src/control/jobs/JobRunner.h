// What the job process (kestrix-job) does with one request from the control:
// render the content when it is HTML or a web page, then either submit it to
// CUPS and follow the job until it ends, or write the PDF / PNG file. Progress
// goes out as JSON lines:
//   {"kind":"state","job":{...the job record...}}        on each change
//   {"kind":"message","message":{"type","code","message","id"}}
//   {"kind":"done","status":"success"|"error","result":{"type","id","jobId","message",...}}
//     (an "error" result also has the failure's "code"; printerNotFound adds "printers")
// exactly one "done" line ends every run. A file written (printToPDF, ...)
// is checked against the site's room (request "room") at its real size right
// before its rename; a printed job is followed at most "followSeconds", only
// while the host listens and while the user has a follower's place free.
#pragma once

#include <json/json.h>

#include <string>

class JobReporter {
 public:
  virtual ~JobReporter() = default;
  // False once nobody listens any more (the host has gone away).
  virtual bool Emit(const Json::Value& line) = 0;
  // Whether somebody still listens, asked without sending anything (a job
  // followed at the scheduler may have nothing new to say for hours).
  virtual bool Listening() { return true; }
};

// Returns the process exit code: 0 when the job succeeded.
int RunJob(const Json::Value& request, JobReporter& reporter);
