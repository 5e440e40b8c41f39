// "exportAsExcel": the tables of an HTML fragment written to an .xlsx file
// with libxlsxwriter, one worksheet per table (named by its caption, else
// "Table N"). Header cells are bold, spanned cells are merged, cells that are
// plain numbers are written as numbers (except ones with leading zeros, which
// stay text).
//
// The HTML comes from the page, so the work has bounds (ExcelLimits): what
// lies beyond them is left out or cut, and every such cut is named in the
// notes, never dropped silently.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "control/site/FileStore.h"

class JobEventQueue;

struct ExcelLimits {
  size_t maxHtmlBytes = size_t(32) << 20;  // larger HTML is refused
  long maxCells = 200000;                  // places written in all; a merged cell counts each place it covers
  long maxMergedPlaces = 10000;            // places one merged cell may cover
  int maxSheets = 255;
};

// Writes path (through a temporary file beside it and a rename). False with a
// message when the HTML has no table, is too large, or the file cannot be
// written. notes gets one line per kind of cut: text over Excel's 32,767
// characters, spans shrunk, cells or tables left out, a caption Excel does
// not take as a sheet name.
// With room, the finished file takes its place only when the site's room
// allows its real size (FileStore::Commit); a refusal says "no room ...".
bool ExportTablesToXlsx(const std::string& html, const std::string& path, std::vector<std::string>* notes,
                        std::string* error, const ExcelLimits& limits = {}, const FileStore* room = nullptr);

// Runs the export on a thread of its own (at most kMaxRunningExports at once)
// and reports to queue as a job does: an OnMessage warning "exportTruncated"
// naming what was cut, an OnMessage error "exportFailed" when it fails, then
// OnDone ("success" or "error") with type "exportAsExcel", id, file and
// "truncated". With open, a written file is then opened on the desktop (as
// openFile does). False with a message when it cannot start.
// The file is checked against the room of files, as above ("noRoom").
inline constexpr int kMaxRunningExports = 2;
bool StartExcelExport(std::string html, std::string path, std::string id, bool open, FileStore files,
                      std::shared_ptr<JobEventQueue> queue, std::string* error);
