#include "control/win32/Spooler.h"

#include <winspool.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cwctype>
#include <memory>

#include "control/win32/WideText.h"

namespace spooler {
namespace {

constexpr char kUnreachable[] = "print spooler not reachable: ";

std::string Failure(const std::string& what, DWORD code) {
  if (code == RPC_S_SERVER_UNAVAILABLE || code == RPC_S_SERVER_TOO_BUSY || code == ERROR_SERVICE_NOT_ACTIVE)
    return kUnreachable + SystemMessage(code);
  return what + ": " + SystemMessage(code);
}

class PrinterHandle {
 public:
  ~PrinterHandle() {
    if (m_handle) ::ClosePrinter(m_handle);
  }
  bool Open(const std::wstring& name, std::string* error) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, PRINTER_ACCESS_USE};
    if (::OpenPrinterW(const_cast<wchar_t*>(name.c_str()), &m_handle, &defaults)) return true;
    m_handle = nullptr;
    DWORD code = ::GetLastError();
    *error = code == ERROR_INVALID_PRINTER_NAME ? "printer '" + Narrow(name) + "' not found"
                                                 : Failure("cannot open printer '" + Narrow(name) + "'", code);
    return false;
  }
  HANDLE Get() const { return m_handle; }

 private:
  HANDLE m_handle = nullptr;
};

// GetPrinter level 2 into buffer; the structure points into it.
const PRINTER_INFO_2W* ReadInfo2(HANDLE printer, std::vector<BYTE>* buffer, std::string* error) {
  DWORD needed = 0;
  ::GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (needed == 0) {
    *error = Failure("cannot read the printer", ::GetLastError());
    return nullptr;
  }
  buffer->assign(needed, 0);
  if (!::GetPrinterW(printer, 2, buffer->data(), needed, &needed)) {
    *error = Failure("cannot read the printer", ::GetLastError());
    return nullptr;
  }
  return reinterpret_cast<const PRINTER_INFO_2W*>(buffer->data());
}

std::string Text(const wchar_t* text) { return text ? Narrow(text) : std::string(); }

double Tenths(LONG tenthsOfMm) { return static_cast<double>(tenthsOfMm) / 10.0; }

std::string Number(double mm) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", mm);
  return text;
}

// The PWG name of the common sizes; others get a self-describing "om_" name.
std::string PaperName(WORD id, const std::string& displayName, double width, double height) {
  switch (id) {
    case DMPAPER_LETTER: return "na_letter_8.5x11in";
    case DMPAPER_LEGAL: return "na_legal_8.5x14in";
    case DMPAPER_EXECUTIVE: return "na_executive_7.25x10.5in";
    case DMPAPER_A3: return "iso_a3_297x420mm";
    case DMPAPER_A4: return "iso_a4_210x297mm";
    case DMPAPER_A5: return "iso_a5_148x210mm";
    case DMPAPER_A6: return "iso_a6_105x148mm";
    case DMPAPER_B5: return "jis_b5_182x257mm";
    case DMPAPER_ENV_10: return "na_number-10_4.125x9.5in";
    case DMPAPER_ENV_DL: return "iso_dl_110x220mm";
    default: break;
  }
  std::string name;
  for (char c : displayName) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (c >= 'A' && c <= 'Z') name += static_cast<char>(c - 'A' + 'a');
    else if (keep) name += c;
    else if (!name.empty() && name.back() != '-') name += '-';
  }
  while (!name.empty() && name.back() == '-') name.pop_back();
  if (name.empty()) name = "paper";
  return "om_" + name + "_" + Number(width) + "x" + Number(height) + "mm";
}

struct Capabilities {
  std::wstring name, port;
  int Count(WORD what) const {
    return ::DeviceCapabilitiesW(name.c_str(), port.c_str(), what, nullptr, nullptr);
  }
  int Fill(WORD what, void* out) const {
    return ::DeviceCapabilitiesW(name.c_str(), port.c_str(), what, static_cast<wchar_t*>(out), nullptr);
  }
  // Names of a DC_*NAMES kind, each `width` characters.
  Json::Value Names(WORD what, size_t width) const {
    Json::Value list(Json::arrayValue);
    int n = Count(what);
    if (n <= 0) return list;
    std::vector<wchar_t> names(static_cast<size_t>(n) * width + width, L'\0');
    if (Fill(what, names.data()) <= 0) return list;
    for (int i = 0; i < n; ++i) list.append(NarrowField(&names[i * width], width));
    return list;
  }
};

// The papers of a queue, each once; the DMPAPER ids beside them.
bool ReadPapers(const Capabilities& caps, Json::Value* papers, std::vector<WORD>* ids, std::string* error) {
  *papers = Json::Value(Json::arrayValue);
  int n = caps.Count(DC_PAPERS);
  if (n <= 0) {
    *error = Failure("the printer '" + Narrow(caps.name) + "' reports no papers", ::GetLastError());
    return false;
  }
  std::vector<WORD> list(n + 1);
  std::vector<wchar_t> names(static_cast<size_t>(n + 1) * 64, L'\0');
  std::vector<POINT> sizes(n + 1);
  if (caps.Fill(DC_PAPERS, list.data()) <= 0 || caps.Fill(DC_PAPERNAMES, names.data()) <= 0 ||
      caps.Fill(DC_PAPERSIZE, sizes.data()) <= 0) {
    *error = Failure("the printer '" + Narrow(caps.name) + "' reports no papers", ::GetLastError());
    return false;
  }
  for (int i = 0; i < n; ++i) {
    const std::string display = NarrowField(&names[i * 64], 64);
    const double width = Tenths(sizes[i].x), height = Tenths(sizes[i].y);
    Json::Value paper(Json::objectValue);
    paper["name"] = PaperName(list[i], display, width, height);
    bool seen = false;
    for (const auto& p : *papers) seen = seen || p["name"] == paper["name"];
    if (seen) continue;
    paper["displayName"] = display;
    paper["width"] = width;
    paper["height"] = height;
    // The printable margins need the printer's device context, which is not
    // asked here: unknown.
    paper["margins"] = Json::Value();
    papers->append(paper);
    if (ids) ids->push_back(list[i]);
  }
  return true;
}

bool CustomRange(const Capabilities& caps, Json::Value* min, Json::Value* max) {
  DWORD low = static_cast<DWORD>(caps.Count(DC_MINEXTENT));
  DWORD high = static_cast<DWORD>(caps.Count(DC_MAXEXTENT));
  if (low == static_cast<DWORD>(-1) || high == static_cast<DWORD>(-1) || high == 0) return false;
  const double minW = Tenths(LOWORD(low)), minH = Tenths(HIWORD(low));
  const double maxW = Tenths(LOWORD(high)), maxH = Tenths(HIWORD(high));
  if (maxW <= minW && maxH <= minH) return false;  // one size only: nothing to choose
  (*min)["width"] = minW;
  (*min)["height"] = minH;
  (*max)["width"] = maxW;
  (*max)["height"] = maxH;
  return true;
}

// A printer's status bits as IPP-style reasons, with the condition a page
// can act on and its severity.
struct Reason {
  DWORD bit;
  const char* reason;
  const char* condition;
  const char* severity;
};
const Reason kReasons[] = {
    {PRINTER_STATUS_PAUSED, "paused", "paused", "report"},
    {PRINTER_STATUS_ERROR, "other-error", "other", "error"},
    {PRINTER_STATUS_PAPER_JAM, "media-jam-error", "media-jam", "error"},
    {PRINTER_STATUS_PAPER_OUT, "media-empty-error", "media-empty", "error"},
    {PRINTER_STATUS_MANUAL_FEED, "media-needed-report", "media-empty", "report"},
    {PRINTER_STATUS_PAPER_PROBLEM, "media-needed-error", "media-empty", "error"},
    {PRINTER_STATUS_OFFLINE, "offline-report", "offline", "report"},
    {PRINTER_STATUS_OUTPUT_BIN_FULL, "output-area-full-error", "output-full", "error"},
    {PRINTER_STATUS_NOT_AVAILABLE, "shutdown-error", "offline", "error"},
    {PRINTER_STATUS_TONER_LOW, "toner-low-warning", "toner-low", "warning"},
    {PRINTER_STATUS_NO_TONER, "toner-empty-error", "toner-empty", "error"},
    {PRINTER_STATUS_USER_INTERVENTION, "other-warning", "other", "warning"},
    {PRINTER_STATUS_OUT_OF_MEMORY, "other-error", "other", "error"},
    {PRINTER_STATUS_DOOR_OPEN, "door-open-error", "door-open", "error"},
    {PRINTER_STATUS_SERVER_UNKNOWN, "other-error", "other", "error"},
};

const char* PrinterState(DWORD status) {
  if (status & (PRINTER_STATUS_PAUSED | PRINTER_STATUS_ERROR | PRINTER_STATUS_OFFLINE | PRINTER_STATUS_PAPER_JAM |
                PRINTER_STATUS_PAPER_OUT | PRINTER_STATUS_NOT_AVAILABLE | PRINTER_STATUS_DOOR_OPEN |
                PRINTER_STATUS_NO_TONER | PRINTER_STATUS_USER_INTERVENTION))
    return "stopped";
  if (status & (PRINTER_STATUS_PRINTING | PRINTER_STATUS_PROCESSING | PRINTER_STATUS_BUSY |
                PRINTER_STATUS_WARMING_UP | PRINTER_STATUS_INITIALIZING))
    return "processing";
  return "idle";
}

void AddReasons(DWORD status, Json::Value* reasons, Json::Value* conditions) {
  *reasons = Json::Value(Json::arrayValue);
  *conditions = Json::Value(Json::arrayValue);
  for (const Reason& r : kReasons) {
    if (!(status & r.bit)) continue;
    bool seen = false;
    for (const auto& have : *reasons) seen = seen || have.asString() == r.reason;
    if (seen) continue;
    reasons->append(r.reason);
    Json::Value c(Json::objectValue);
    c["condition"] = r.condition;
    c["severity"] = r.severity;
    c["reason"] = r.reason;
    conditions->append(c);
  }
}

std::string SystemTimeText(const SYSTEMTIME& t) {
  if (t.wYear == 0) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

std::string JobStateName(DWORD status) {
  if (status & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE)) return "completed";
  if (status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) return "canceled";
  if (status & (JOB_STATUS_ERROR | JOB_STATUS_OFFLINE | JOB_STATUS_PAPEROUT | JOB_STATUS_BLOCKED_DEVQ |
                JOB_STATUS_USER_INTERVENTION))
    return "stopped";
  if (status & JOB_STATUS_PAUSED) return "held";
  if (status & (JOB_STATUS_PRINTING | JOB_STATUS_SPOOLING)) return "processing";
  return "pending";
}

std::string Resolution(LONG x, LONG y) {
  return x == y ? std::to_string(x) + "dpi" : std::to_string(x) + "x" + std::to_string(y) + "dpi";
}

}  // namespace

bool SpoolerUnreachable(const std::string& error) { return error.rfind(kUnreachable, 0) == 0; }

bool ListPrinters(std::vector<std::string>* names, std::string* error) {
  names->clear();
  const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  DWORD needed = 0, count = 0;
  ::EnumPrintersW(flags, nullptr, 4, nullptr, 0, &needed, &count);
  if (needed == 0) {
    DWORD code = ::GetLastError();
    if (code == ERROR_SUCCESS || code == ERROR_INSUFFICIENT_BUFFER) return true;  // no printers
    *error = Failure("cannot list the printers", code);
    return false;
  }
  std::vector<BYTE> buffer(needed);
  if (!::EnumPrintersW(flags, nullptr, 4, buffer.data(), needed, &needed, &count)) {
    *error = Failure("cannot list the printers", ::GetLastError());
    return false;
  }
  const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) names->push_back(Text(info[i].pPrinterName));
  std::sort(names->begin(), names->end());
  return true;
}

bool DefaultPrinter(std::string* name, std::string* error) {
  name->clear();
  DWORD size = 0;
  ::GetDefaultPrinterW(nullptr, &size);
  DWORD code = ::GetLastError();
  if (size == 0) {
    if (code == ERROR_FILE_NOT_FOUND) return true;  // no default printer
    *error = Failure("cannot read the default printer", code);
    return false;
  }
  std::wstring text(size, L'\0');
  if (!::GetDefaultPrinterW(text.data(), &size)) {
    code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;
    *error = Failure("cannot read the default printer", code);
    return false;
  }
  text.resize(wcsnlen(text.c_str(), text.size()));
  *name = Narrow(text);
  return true;
}

bool ResolvePrinter(const std::string& printer, std::string* name, std::string* error) {
  if (!printer.empty()) {
    // Only a name the spooler lists is ever opened: OpenPrinter takes more
    // than queues (another machine's "\\server\queue", which it would
    // connect to with the user's credentials, ",XcvMonitor ...", ",XcvPort
    // ...", "queue,Job n").
    std::vector<std::string> listed;
    if (!ListPrinters(&listed, error)) return false;
    auto lower = [](std::wstring text) {
      for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
      return text;
    };
    const std::wstring wanted = lower(Wide(printer));
    for (const std::string& candidate : listed) {
      if (lower(Wide(candidate)) == wanted) {
        *name = candidate;
        return true;
      }
    }
    *error = "printer '" + printer + "' not found";
    return false;
  }
  if (!DefaultPrinter(name, error)) return false;
  if (name->empty()) {
    *error = "no default printer";
    return false;
  }
  return true;
}

// A printer the spooler lists (by name, or the default), open for use, with
// what GetPrinter says of it.
struct OpenedPrinter {
  std::string name;
  PrinterHandle handle;
  std::vector<BYTE> buffer;
  const PRINTER_INFO_2W* info = nullptr;

  bool Open(const std::string& printer, std::string* error) {
    if (!ResolvePrinter(printer, &name, error) || !handle.Open(Wide(name), error)) return false;
    info = ReadInfo2(handle.Get(), &buffer, error);
    return info != nullptr;
  }
};

bool PrinterInfo(const std::string& printer, Json::Value* info, std::string* error) {
  *info = Json::Value();
  OpenedPrinter opened;
  if (!opened.Open(printer, error)) return false;
  const PRINTER_INFO_2W* p = opened.info;
  std::string defaultName, ignored;
  DefaultPrinter(&defaultName, &ignored);
  Capabilities caps{Text(p->pPrinterName).empty() ? Wide(opened.name) : p->pPrinterName, p->pPortName ? p->pPortName : L""};

  Json::Value out(Json::objectValue);
  out["name"] = Text(p->pPrinterName);
  out["info"] = Text(p->pComment);
  out["location"] = Text(p->pLocation);
  out["makeAndModel"] = Text(p->pDriverName);
  out["uri"] = Text(p->pPrinterName);
  out["deviceUri"] = Text(p->pPortName);
  out["state"] = PrinterState(p->Status);
  AddReasons(p->Status, &out["stateReasons"], &out["conditions"]);
  out["accepting"] = (p->Status & PRINTER_STATUS_PENDING_DELETION) == 0;
  out["shared"] = (p->Attributes & PRINTER_ATTRIBUTE_SHARED) != 0;
  out["isDefault"] = out["name"].asString() == defaultName;
  out["color"] = caps.Count(DC_COLORDEVICE) == 1;
  out["duplex"] = caps.Count(DC_DUPLEX) == 1;

  Json::Value papers;
  std::vector<WORD> ids;
  std::string paperError;
  ReadPapers(caps, &papers, &ids, &paperError);  // none reported: the lists stay empty
  out["media"] = Json::Value(Json::arrayValue);
  for (const auto& paper : papers) out["media"].append(paper["name"]);
  out["defaultPaper"] = Json::Value();
  const DEVMODEW* mode = p->pDevMode;
  for (size_t i = 0; mode && (mode->dmFields & DM_PAPERSIZE) && i < ids.size(); ++i)
    if (ids[i] == static_cast<WORD>(mode->dmPaperSize)) out["defaultPaper"] = papers[static_cast<int>(i)];
  Json::Value min(Json::objectValue), max(Json::objectValue);
  out["customPaper"] = CustomRange(caps, &min, &max);
  if (out["customPaper"].asBool()) {
    out["customPaperMin"] = min;
    out["customPaperMax"] = max;
  }
  out["mediaSources"] = caps.Names(DC_BINNAMES, 24);
  out["mediaTypes"] = caps.Names(DC_MEDIATYPENAMES, 64);
  out["resolutions"] = Json::Value(Json::arrayValue);
  int n = caps.Count(DC_ENUMRESOLUTIONS);
  if (n > 0) {
    std::vector<LONG> pairs(static_cast<size_t>(n) * 2 + 2);
    if (caps.Fill(DC_ENUMRESOLUTIONS, pairs.data()) > 0)
      for (int i = 0; i < n; ++i) out["resolutions"].append(Resolution(pairs[2 * i], pairs[2 * i + 1]));
  }
  out["colorModes"] = Json::Value(Json::arrayValue);
  out["colorModes"].append("monochrome");
  if (out["color"].asBool()) out["colorModes"].append("color");
  out["duplexModes"] = Json::Value(Json::arrayValue);
  out["duplexModes"].append("one-sided");
  if (out["duplex"].asBool()) {
    out["duplexModes"].append("two-sided-long-edge");
    out["duplexModes"].append("two-sided-short-edge");
  }
  // What the spooler has no way to say is empty, as for a printer that does
  // not report it.
  for (const char* empty : {"finishings", "outputBins", "qualities", "scalings", "pagesPerSheet", "markers"})
    out[empty] = Json::Value(Json::arrayValue);
  out["collate"] = caps.Count(DC_COLLATE) == 1;

  Json::Value defaults(Json::objectValue);
  defaults["mediaSource"] = "";
  if (mode && (mode->dmFields & DM_DEFAULTSOURCE)) {
    int bins = caps.Count(DC_BINS);
    std::vector<WORD> binIds(bins > 0 ? bins + 1 : 1);
    if (bins > 0 && caps.Fill(DC_BINS, binIds.data()) > 0)
      for (int i = 0; i < bins && i < static_cast<int>(out["mediaSources"].size()); ++i)
        if (binIds[i] == static_cast<WORD>(mode->dmDefaultSource)) defaults["mediaSource"] = out["mediaSources"][i];
  }
  defaults["mediaType"] = "";
  defaults["colorMode"] =
      mode && (mode->dmFields & DM_COLOR) ? (mode->dmColor == DMCOLOR_COLOR ? "color" : "monochrome") : "";
  defaults["duplexMode"] = !mode || !(mode->dmFields & DM_DUPLEX) ? ""
                           : mode->dmDuplex == DMDUP_VERTICAL   ? "two-sided-long-edge"
                           : mode->dmDuplex == DMDUP_HORIZONTAL ? "two-sided-short-edge"
                                                                : "one-sided";
  defaults["resolution"] = mode && (mode->dmFields & DM_YRESOLUTION) && mode->dmPrintQuality > 0
                               ? Resolution(mode->dmPrintQuality, mode->dmYResolution)
                               : "";
  defaults["quality"] = "";
  defaults["outputBin"] = "";
  defaults["finishings"] = "";
  out["defaults"] = defaults;
  *info = out;
  return true;
}

bool PrinterStatus(const std::string& printer, bool detail, Json::Value* status, std::string* error) {
  OpenedPrinter opened;
  if (!opened.Open(printer, error)) return false;
  const PRINTER_INFO_2W* p = opened.info;
  Json::Value out(Json::objectValue);
  out["name"] = Text(p->pPrinterName);
  out["state"] = PrinterState(p->Status);
  AddReasons(p->Status, &out["reasons"], &out["conditions"]);
  out["markers"] = Json::Value(Json::arrayValue);
  out["accepting"] = (p->Status & PRINTER_STATUS_PENDING_DELETION) == 0;
  out["message"] = "";
  out["queuedJobs"] = static_cast<Json::UInt>(p->cJobs);
  if (detail) {
    Json::Value jobs(Json::arrayValue);
    DWORD needed = 0, count = 0;
    ::EnumJobsW(opened.handle.Get(), 0, 1000, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> list(needed);
    if (needed && ::EnumJobsW(opened.handle.Get(), 0, 1000, 2, list.data(), needed, &needed, &count)) {
      const auto* job = reinterpret_cast<const JOB_INFO_2W*>(list.data());
      for (DWORD i = 0; i < count; ++i) {
        Json::Value j(Json::objectValue);
        j["id"] = static_cast<Json::UInt>(job[i].JobId);
        j["title"] = Text(job[i].pDocument);
        j["userName"] = Text(job[i].pUserName);
        j["state"] = JobStateName(job[i].Status);
        j["sizeBytes"] = static_cast<Json::UInt>(job[i].Size);
        j["submittedAt"] = SystemTimeText(job[i].Submitted);
        j["message"] = Text(job[i].pStatus);
        jobs.append(j);
      }
    }
    out["jobs"] = jobs;
  }
  *status = out;
  return true;
}

bool Papers(const std::string& printer, Json::Value* papers, std::string* error) {
  *papers = Json::Value(Json::arrayValue);
  OpenedPrinter opened;
  if (!opened.Open(printer, error)) return false;
  const PRINTER_INFO_2W* p = opened.info;
  return ReadPapers(Capabilities{p->pPrinterName, p->pPortName ? p->pPortName : L""}, papers, nullptr, error);
}

bool PaperId(const std::string& printer, const std::string& paper, WORD* id, std::string* error) {
  OpenedPrinter opened;
  if (!opened.Open(printer, error)) return false;
  const PRINTER_INFO_2W* p = opened.info;
  Json::Value papers;
  std::vector<WORD> ids;
  if (!ReadPapers(Capabilities{p->pPrinterName, p->pPortName ? p->pPortName : L""}, &papers, &ids, error))
    return false;
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
  };
  static const std::pair<const char*, const char*> kShort[] = {
      {"a3", "iso_a3_297x420mm"}, {"a4", "iso_a4_210x297mm"},     {"a5", "iso_a5_148x210mm"},
      {"a6", "iso_a6_105x148mm"}, {"letter", "na_letter_8.5x11in"}, {"legal", "na_legal_8.5x14in"}};
  std::string wanted = lower(paper);
  for (const auto& [alias, pwg] : kShort)
    if (wanted == alias) wanted = pwg;
  std::string have;
  for (Json::ArrayIndex i = 0; i < papers.size(); ++i) {
    if (lower(papers[i]["name"].asString()) == wanted || lower(papers[i]["displayName"].asString()) == wanted) {
      *id = ids[i];
      return true;
    }
    have += (have.empty() ? "" : ", ") + papers[i]["name"].asString();
  }
  *error = "printer '" + opened.name + "' has no paper '" + paper + "' (it has: " + have + ")";
  return false;
}

bool CustomPaperSupported(const std::string& printer, bool* supported, std::string* error) {
  *supported = false;
  OpenedPrinter opened;
  if (!opened.Open(printer, error)) return false;
  const PRINTER_INFO_2W* p = opened.info;
  Json::Value min(Json::objectValue), max(Json::objectValue);
  *supported = CustomRange(Capabilities{p->pPrinterName, p->pPortName ? p->pPortName : L""}, &min, &max);
  return true;
}

bool WriteRaw(const std::string& printer, const std::string& title, const std::string& bytes, DWORD* jobId,
              std::string* error) {
  *jobId = 0;
  std::string name;
  if (!ResolvePrinter(printer, &name, error)) return false;
  PrinterHandle handle;
  if (!handle.Open(Wide(name), error)) return false;
  std::wstring document = Wide(title);
  wchar_t raw[] = L"RAW";
  DOC_INFO_1W doc{document.data(), nullptr, raw};
  DWORD id = ::StartDocPrinterW(handle.Get(), 1, reinterpret_cast<BYTE*>(&doc));
  if (id == 0) {
    *error = Failure("the printer '" + name + "' refused the job", ::GetLastError());
    return false;
  }
  bool ok = ::StartPagePrinter(handle.Get()) != FALSE;
  size_t sent = 0;
  while (ok && sent < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - sent, 1 << 20));
    DWORD written = 0;
    ok = ::WritePrinter(handle.Get(), const_cast<char*>(bytes.data() + sent), chunk, &written) && written > 0;
    sent += written;
  }
  DWORD code = ok ? ERROR_SUCCESS : ::GetLastError();
  if (ok) ok = ::EndPagePrinter(handle.Get()) != FALSE;
  if (!ok) {
    if (code == ERROR_SUCCESS) code = ::GetLastError();
    ::AbortPrinter(handle.Get());
    *error = Failure("cannot send the job to '" + name + "'", code);
    return false;
  }
  if (!::EndDocPrinter(handle.Get())) {
    *error = Failure("cannot send the job to '" + name + "'", ::GetLastError());
    return false;
  }
  *jobId = id;
  return true;
}

namespace {
// Whether the queue still lists the job (EnumJobs): a job GetJob cannot read
// may simply have left the queue, which every spooler tells this way.
bool QueueLists(HANDLE printer, DWORD jobId, bool* listed) {
  DWORD needed = 0, count = 0;
  ::EnumJobsW(printer, 0, 0xFFFFFFFF, 1, nullptr, 0, &needed, &count);
  std::vector<BYTE> list(needed ? needed : 1);
  if (!::EnumJobsW(printer, 0, 0xFFFFFFFF, 1, list.data(), needed, &needed, &count)) return false;
  const auto* jobs = reinterpret_cast<const JOB_INFO_1W*>(list.data());
  *listed = false;
  for (DWORD i = 0; i < count; ++i) *listed = *listed || jobs[i].JobId == jobId;
  return true;
}
}  // namespace

bool GetJobState(const std::string& printer, DWORD jobId, JobState* state, bool* gone, std::string* error) {
  *gone = false;
  PrinterHandle handle;
  if (!handle.Open(Wide(printer), error)) return false;
  DWORD needed = 0;
  ::SetLastError(ERROR_SUCCESS);
  ::GetJobW(handle.Get(), jobId, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  if (needed == 0 || !::GetJobW(handle.Get(), jobId, 2, buffer.data(), needed, &needed)) {
    const DWORD code = ::GetLastError();
    // No such job: ERROR_INVALID_PARAMETER from Windows; wine's spooler gives
    // no reason at all for a job that has left its queue (and has no EnumJobs).
    bool listed = true;
    *gone = code == ERROR_INVALID_PARAMETER || code == ERROR_SUCCESS ||
            (QueueLists(handle.Get(), jobId, &listed) && !listed);
    *error = Failure("cannot read job " + std::to_string(jobId), code);
    return false;
  }
  const auto* job = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
  state->state = JobStateName(job->Status);
  state->message = Text(job->pStatus);
  state->position = static_cast<int>(job->Position);
  state->pagesPrinted = static_cast<int>(job->PagesPrinted);
  state->totalPages = static_cast<int>(job->TotalPages);
  state->userName = Text(job->pUserName);
  state->machineName = Text(job->pMachineName);
  state->submittedAt = SystemTimeText(job->Submitted);
  return true;
}

}  // namespace spooler
