// The Windows print spooler behind the control's printer members: queues,
// the default printer, a queue's state, jobs, papers and capabilities
// (EnumPrinters, GetPrinter, EnumJobs, GetJob, DeviceCapabilities), and raw
// jobs (WritePrinter with the RAW data type). Results have the shapes of the
// Linux control's (docs/control.md); what the spooler cannot tell is left
// empty or null, never made up. Names are UTF-8; "" is the default printer.
//
// Every call fails with a message in *error: "print spooler not reachable:
// ..." when the spooler service does not answer (SpoolerUnreachable), else
// what the spooler said about the printer.
#pragma once

#include <windows.h>

#include <json/json.h>

#include <string>
#include <vector>

namespace spooler {

bool SpoolerUnreachable(const std::string& error);

bool ListPrinters(std::vector<std::string>* names, std::string* error);
bool DefaultPrinter(std::string* name, std::string* error);
// Null *info for an unknown printer comes with false.
bool PrinterInfo(const std::string& printer, Json::Value* info, std::string* error);
bool PrinterStatus(const std::string& printer, bool detail, Json::Value* status, std::string* error);
bool Papers(const std::string& printer, Json::Value* papers, std::string* error);
bool CustomPaperSupported(const std::string& printer, bool* supported, std::string* error);

// The printer's own name for printer ("" gives the default one): one the
// spooler lists (EnumPrinters, local queues and connections), any case;
// "printer '...' not found" for any other name, which is never opened.
bool ResolvePrinter(const std::string& printer, std::string* name, std::string* error);

// The DMPAPER id of one of the printer's papers, named "A4", "Letter", "Legal",
// "A3", "A5", "A6", by its name in getPapers or by the driver's own name (any
// case). False with *error listing the papers it has.
bool PaperId(const std::string& printer, const std::string& paper, WORD* id, std::string* error);

// Hands bytes to the spooler as one RAW document; *jobId is the spooler's id.
bool WriteRaw(const std::string& printer, const std::string& title, const std::string& bytes, DWORD* jobId,
              std::string* error);

// A spooled job as the control reports it.
struct JobState {
  std::string state;    // pending, held, processing, stopped, completed, canceled, aborted
  std::string message;  // the spooler's status text, if any
  int position = 0;
  int pagesPrinted = 0;
  int totalPages = 0;
  std::string userName, machineName, submittedAt;
};
// False with *gone when the spooler no longer has the job (Windows removes
// a job once it has printed, unless the queue keeps printed jobs).
bool GetJobState(const std::string& printer, DWORD jobId, JobState* state, bool* gone, std::string* error);

}  // namespace spooler
