#include "control/printing/CupsClient.h"

#include <cups/cups.h>
#include <cups/pwg.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>

#include "control/printing/PrinterCapabilities.h"

namespace {
// ---- connection ------------------------------------------------------------
int GiveUp(http_t*, void*) { return 0; }  // a wait that runs out fails the call

struct HttpCloser {
  void operator()(http_t* http) const { httpClose(http); }
};
using Http = std::unique_ptr<http_t, HttpCloser>;

Http Connect(int timeoutMs, std::string* error) {
  std::string server = CupsClient::ServerName();
  int port = server.empty() || server[0] == '/' ? 0 : ippPort();
  errno = 0;
  http_t* http = httpConnect2(server.c_str(), port, nullptr, AF_UNSPEC, cupsEncryption(), 1, timeoutMs, nullptr);
  if (!http) {
    int e = errno;
    if (error)
      *error = "scheduler not reachable at " + server + (e ? std::string(": ") + std::strerror(e) : std::string());
    return nullptr;
  }
  httpSetTimeout(http, timeoutMs / 1000.0, GiveUp, nullptr);
  return Http(http);
}

std::string LastError(const std::string& what) {
  const char* text = cupsLastErrorString();
  return what + ": " + (text && *text ? text : ippErrorString(cupsLastError()));
}

struct DestsHolder {
  cups_dest_t* dests = nullptr;
  int count = 0;
  ~DestsHolder() { cupsFreeDests(count, dests); }
};
struct DestHolder {
  cups_dest_t* dest = nullptr;
  ~DestHolder() {
    if (dest) cupsFreeDests(1, dest);
  }
};
struct InfoHolder {
  cups_dinfo_t* info = nullptr;
  ~InfoHolder() {
    if (info) cupsFreeDestInfo(info);
  }
};
struct IppHolder {
  ipp_t* ipp = nullptr;
  ~IppHolder() { ippDelete(ipp); }
};

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 127) return false;
  for (unsigned char c : name)
    if (c <= ' ' || c == 127 || c == '/' || c == '#' || c == '\\' || c == '\'' || c == '"') return false;
  return true;
}

std::string PrinterUri(const std::string& name) {
  char uri[1024];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/printers/%s",
                   name.c_str());
  return uri;
}

std::string PrinterStateName(int state) {
  switch (state) {
    case IPP_PSTATE_IDLE: return "idle";
    case IPP_PSTATE_PROCESSING: return "processing";
    case IPP_PSTATE_STOPPED: return "stopped";
    default: return "unknown";
  }
}

Json::Value Strings(ipp_attribute_t* attr, bool dropNone) {
  Json::Value list(Json::arrayValue);
  for (int i = 0; attr && i < ippGetCount(attr); ++i) {
    const char* s = ippGetString(attr, i, nullptr);
    if (s && !(dropNone && std::strcmp(s, "none") == 0)) list.append(s);
  }
  return list;
}

std::string StringAttr(ipp_t* ipp, const char* name) {
  ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  const char* s = attr ? ippGetString(attr, 0, nullptr) : nullptr;
  return s ? s : "";
}

int IntAttr(ipp_t* ipp, const char* name, int fallback = 0) {
  ipp_attribute_t* attr = ippFindAttribute(ipp, name, IPP_TAG_ZERO);
  if (!attr) return fallback;
  ipp_tag_t tag = ippGetValueTag(attr);
  if (tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM) return ippGetInteger(attr, 0);
  return fallback;
}

std::string IsoTime(time_t t) {
  if (t <= 0) return std::string();
  tm utc;
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Hundredths of a millimetre to millimetres with one decimal (A4 is 20990 x 29704).
double Millimetres(int hundredths) { return std::round(hundredths / 10.0) / 10.0; }

// Job names and owners are private to their owner: say who asks.
void AddRequestingUser(ipp_t* request) {
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
}

Json::Value PaperJson(const cups_size_t& size, const char* displayName) {
  Json::Value paper(Json::objectValue);
  paper["name"] = size.media;
  if (displayName) paper["displayName"] = displayName;
  paper["width"] = Millimetres(size.width);
  paper["height"] = Millimetres(size.length);
  Json::Value margins(Json::objectValue);
  margins["top"] = Millimetres(size.top);
  margins["right"] = Millimetres(size.right);
  margins["bottom"] = Millimetres(size.bottom);
  margins["left"] = Millimetres(size.left);
  paper["margins"] = margins;
  return paper;
}

// The queue by name (empty: the default), with a clear message when missing.
bool FindDest(http_t* http, const std::string& name, DestHolder* holder, std::string* error) {
  if (!name.empty() && !ValidName(name)) {
    if (error) *error = "'" + name + "' is not a valid printer name";
    return false;
  }
  holder->dest = cupsGetNamedDest(http, name.empty() ? nullptr : name.c_str(), nullptr);
  if (!holder->dest) {
    if (error) *error = name.empty() ? "no default printer" : "no printer named '" + name + "'";
    return false;
  }
  return true;
}

// The queue a request names; the default queue when the name is empty.
bool ResolveQueue(http_t* http, const std::string& name, std::string* queue, std::string* error) {
  if (name.empty()) {
    DestHolder dest;
    if (!FindDest(http, "", &dest, error)) return false;
    *queue = dest.dest->name;
    return true;
  }
  if (!ValidName(name)) {
    if (error) *error = "'" + name + "' is not a valid printer name";
    return false;
  }
  *queue = name;
  return true;
}

// The destination and its capabilities (papers, job options); `what` names
// them in the error ("papers of 'kx-pdf'").
bool FindDestInfo(http_t* http, const std::string& name, const char* what, DestHolder* dest, InfoHolder* info,
                  std::string* error) {
  if (!FindDest(http, name, dest, error)) return false;
  info->info = cupsCopyDestInfo(http, dest->dest);
  if (!info->info) {
    if (error) *error = LastError(std::string(what) + " '" + dest->dest->name + "'");
    return false;
  }
  return true;
}

bool GetPrinterAttributes(http_t* http, const std::string& name, const std::vector<const char*>& wanted,
                          IppHolder* response, std::string* error) {
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(name).c_str());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", static_cast<int>(wanted.size()),
                nullptr, wanted.data());
  response->ipp = cupsDoRequest(http, request, "/");
  if (!response->ipp || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) {
      if (error) *error = "no printer named '" + name + "'";
    } else if (error) {
      *error = LastError("printer attributes of '" + name + "'");
    }
    return false;
  }
  return true;
}
}  // namespace

std::string JobStateName(int state) {
  switch (state) {
    case IPP_JSTATE_PENDING: return "pending";
    case IPP_JSTATE_HELD: return "held";
    case IPP_JSTATE_PROCESSING: return "processing";
    case IPP_JSTATE_STOPPED: return "stopped";
    case IPP_JSTATE_CANCELED: return "canceled";
    case IPP_JSTATE_ABORTED: return "aborted";
    case IPP_JSTATE_COMPLETED: return "completed";
    default: return "unknown";
  }
}

CupsClient::CupsClient(int timeoutMs) : m_timeoutMs(timeoutMs) {}

CupsClient::~CupsClient() {
  if (m_http) httpClose(m_http);
}

http_t* CupsClient::Connection(std::string* error) {
  const auto now = std::chrono::steady_clock::now();
  if (m_http) {
    // Kept only while calls follow one another closely, and only while the
    // scheduler has neither closed it nor left anything unread on it.
    pollfd p{httpGetFd(m_http), POLLIN | POLLRDHUP, 0};
    const bool quiet = p.fd >= 0 && poll(&p, 1, 0) == 0;
    if (!quiet || now - m_lastUse > std::chrono::seconds(2)) {
      httpClose(m_http);
      m_http = nullptr;
    }
  }
  if (!m_http) m_http = Connect(m_timeoutMs, error).release();
  m_lastUse = now;
  return m_http;
}

std::string CupsClient::ServerName() {
  const char* server = cupsServer();
  return server ? server : "";
}

bool CupsClient::Printers(std::vector<std::string>* names, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  DestsHolder dests;
  dests.count = cupsGetDests2(http, &dests.dests);
  if (dests.count == 0 && cupsLastError() > IPP_STATUS_OK_CONFLICTING && cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND) {
    if (error) *error = LastError("list of printers");
    return false;
  }
  names->clear();
  for (int i = 0; i < dests.count; ++i)
    if (!dests.dests[i].instance) names->push_back(dests.dests[i].name);
  std::sort(names->begin(), names->end());
  names->erase(std::unique(names->begin(), names->end()), names->end());
  return true;
}

bool CupsClient::DefaultPrinter(std::string* name, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  DestHolder dest;
  dest.dest = cupsGetNamedDest(http, nullptr, nullptr);
  *name = dest.dest ? dest.dest->name : "";
  return true;
}

bool CupsClient::SetDefaultPrinter(const std::string& name, std::string* error) {
  if (!ValidName(name)) {
    if (error) *error = "'" + name + "' is not a valid printer name";
    return false;
  }
  http_t* http = Connection(error);
  if (!http) return false;
  DestsHolder dests;
  dests.count = cupsGetDests2(http, &dests.dests);
  if (!cupsGetDest(name.c_str(), nullptr, dests.count, dests.dests)) {
    if (error) *error = "no printer named '" + name + "'";
    return false;
  }
  for (int i = 0; i < dests.count; ++i)
    dests.dests[i].is_default = (!dests.dests[i].instance && name == dests.dests[i].name) ? 1 : 0;
  if (cupsSetDests2(http, dests.count, dests.dests) != 0) {
    if (error) *error = "cannot save the default printer: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

bool CupsClient::PrinterInfo(const std::string& name, Json::Value* info, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  DestHolder dest;
  if (!FindDest(http, name, &dest, error)) return false;
  DestHolder fallback;
  fallback.dest = cupsGetNamedDest(http, nullptr, nullptr);
  auto option = [&](const char* key) {
    const char* v = cupsGetOption(key, dest.dest->num_options, dest.dest->options);
    return std::string(v ? v : "");
  };
  Json::Value out(Json::objectValue);
  out["name"] = dest.dest->name;
  out["info"] = option("printer-info");
  out["location"] = option("printer-location");
  out["makeAndModel"] = option("printer-make-and-model");
  out["uri"] = option("printer-uri-supported");
  out["deviceUri"] = option("device-uri");
  int state = std::atoi(option("printer-state").c_str());
  out["state"] = PrinterStateName(state);
  Json::Value reasons(Json::arrayValue);
  std::string reasonText = option("printer-state-reasons");
  size_t pos = 0;
  while (pos < reasonText.size()) {
    size_t comma = reasonText.find(',', pos);
    if (comma == std::string::npos) comma = reasonText.size();
    std::string reason = reasonText.substr(pos, comma - pos);
    if (!reason.empty() && reason != "none") reasons.append(reason);
    pos = comma + 1;
  }
  out["stateReasons"] = reasons;
  out["conditions"] = ReasonConditions(reasons);
  out["accepting"] = option("printer-is-accepting-jobs") == "true";
  out["shared"] = option("printer-is-shared") == "true";
  out["isDefault"] = fallback.dest && std::strcmp(fallback.dest->name, dest.dest->name) == 0;
  int type = std::atoi(option("printer-type").c_str());
  out["color"] = (type & CUPS_PRINTER_COLOR) != 0;
  out["duplex"] = (type & CUPS_PRINTER_DUPLEX) != 0;
  Json::Value paper;
  std::string ignored;
  if (DefaultPaper(dest.dest->name, &paper, &ignored)) out["defaultPaper"] = paper;
  Json::Value caps;
  if (!Capabilities(dest.dest->name, &caps, error)) return false;
  for (const auto& key : caps.getMemberNames()) out[key] = caps[key];
  *info = out;
  return true;
}

bool CupsClient::Capabilities(const std::string& name, Json::Value* capabilities, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  std::string queue;
  if (!ResolveQueue(http, name, &queue, error)) return false;
  IppHolder response;
  if (!GetPrinterAttributes(http, queue, CapabilityAttributes(), &response, error)) return false;
  *capabilities = CapabilitiesFromIpp(response.ipp);
  return true;
}

bool CupsClient::CheckOptions(const std::string& name, const Json::Value& options, std::string* code,
                              std::string* error) {
  static const char* const kChecked[] = {"media",        "media-source", "media-type", "output-bin", "print-color-mode",
                                         "print-scaling", "printer-resolution", "sides", "print-quality",
                                         "multiple-document-handling", "number-up", "finishings"};
  // What the job asks about (each option's "-supported" attribute); with
  // nothing to ask, the queue's state alone tells whether it is there.
  std::vector<std::string> names;
  for (const char* option : kChecked)
    if (options.isMember(option)) names.push_back(std::string(option) + "-supported");
  if (names.empty()) names.push_back("printer-state");
  std::vector<const char*> wanted;
  for (const auto& n : names) wanted.push_back(n.c_str());
  *code = "schedulerUnreachable";
  http_t* http = Connection(error);
  if (!http) return false;
  std::string queue;
  IppHolder response;
  if (!ResolveQueue(http, name, &queue, error) || !GetPrinterAttributes(http, queue, wanted, &response, error)) {
    // A name that is not valid, a missing default and an unknown queue all say "no printer".
    const bool missing = cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND || error->rfind("no ", 0) == 0 ||
                         error->find("not a valid printer name") != std::string::npos;
    *code = missing ? "printerNotFound" : error->rfind("scheduler not reachable", 0) == 0 ? "schedulerUnreachable"
                                                                                         : "printerError";
    return false;
  }
  *code = "optionUnsupported";
  return CheckJobOptions(CapabilitiesFromIpp(response.ipp), options, name.empty() ? "(default)" : name, error);
}

bool CupsClient::PrinterStatus(const std::string& name, bool detail, Json::Value* status, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  std::string queue;
  if (!ResolveQueue(http, name, &queue, error)) return false;
  IppHolder response;
  if (!GetPrinterAttributes(http, queue,
                            {"printer-state", "printer-state-reasons", "printer-state-message",
                             "printer-is-accepting-jobs", "queued-job-count", "marker-names", "marker-colors",
                             "marker-types", "marker-levels", "marker-low-levels", "marker-high-levels"},
                            &response, error))
    return false;
  Json::Value out(Json::objectValue);
  out["name"] = queue;
  out["state"] = PrinterStateName(IntAttr(response.ipp, "printer-state"));
  out["reasons"] = Strings(ippFindAttribute(response.ipp, "printer-state-reasons", IPP_TAG_KEYWORD), true);
  out["conditions"] = ReasonConditions(out["reasons"]);
  out["markers"] = CapabilitiesFromIpp(response.ipp)["markers"];
  ipp_attribute_t* accepting = ippFindAttribute(response.ipp, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN);
  out["accepting"] = accepting ? ippGetBoolean(accepting, 0) != 0 : false;
  out["message"] = StringAttr(response.ipp, "printer-state-message");
  out["queuedJobs"] = IntAttr(response.ipp, "queued-job-count");
  if (detail) {
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
    AddRequestingUser(request);
    static const char* const kJobAttrs[] = {"job-id", "job-name", "job-originating-user-name", "job-state",
                                            "job-k-octets", "time-at-creation", "job-printer-state-message"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(sizeof kJobAttrs / sizeof kJobAttrs[0]), nullptr, kJobAttrs);
    IppHolder jobs;
    jobs.ipp = cupsDoRequest(http, request, "/");
    if (!jobs.ipp || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
      if (error) *error = LastError("jobs of '" + queue + "'");
      return false;
    }
    Json::Value list(Json::arrayValue);
    Json::Value job;
    auto flush = [&]() {
      if (job.isMember("id")) list.append(job);
      job = Json::Value(Json::objectValue);
    };
    flush();
    for (ipp_attribute_t* attr = ippFirstAttribute(jobs.ipp); attr; attr = ippNextAttribute(jobs.ipp)) {
      const char* attrName = ippGetName(attr);
      if (!attrName) {  // separator between jobs
        flush();
        continue;
      }
      std::string n = attrName;
      if (n == "job-id") job["id"] = ippGetInteger(attr, 0);
      else if (n == "job-name") job["title"] = ippGetString(attr, 0, nullptr) ? ippGetString(attr, 0, nullptr) : "";
      else if (n == "job-originating-user-name") job["userName"] = ippGetString(attr, 0, nullptr) ? ippGetString(attr, 0, nullptr) : "";
      else if (n == "job-state") job["state"] = JobStateName(ippGetInteger(attr, 0));
      else if (n == "job-k-octets") job["sizeBytes"] = static_cast<Json::Int64>(ippGetInteger(attr, 0)) * 1024;
      else if (n == "time-at-creation") job["submittedAt"] = IsoTime(ippGetInteger(attr, 0));
      else if (n == "job-printer-state-message") job["message"] = ippGetString(attr, 0, nullptr) ? ippGetString(attr, 0, nullptr) : "";
    }
    flush();
    out["jobs"] = list;
  }
  *status = out;
  return true;
}

bool CupsClient::Papers(const std::string& name, Json::Value* papers, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  DestHolder dest;
  InfoHolder info;
  if (!FindDestInfo(http, name, "papers of", &dest, &info, error)) return false;
  Json::Value list(Json::arrayValue);
  std::vector<std::string> seen;
  int count = cupsGetDestMediaCount(http, dest.dest, info.info, CUPS_MEDIA_FLAGS_DEFAULT);
  for (int i = 0; i < count; ++i) {
    cups_size_t size;
    if (!cupsGetDestMediaByIndex(http, dest.dest, info.info, i, CUPS_MEDIA_FLAGS_DEFAULT, &size)) continue;
    // The database lists a size once per margin variant: keep the first.
    if (std::find(seen.begin(), seen.end(), size.media) != seen.end()) continue;
    seen.push_back(size.media);
    const char* display = cupsLocalizeDestMedia(http, dest.dest, info.info, CUPS_MEDIA_FLAGS_DEFAULT, &size);
    list.append(PaperJson(size, display));
  }
  *papers = list;
  return true;
}

bool CupsClient::DefaultPaper(const std::string& name, Json::Value* paper, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  DestHolder dest;
  InfoHolder info;
  if (!FindDestInfo(http, name, "papers of", &dest, &info, error)) return false;
  // cupsGetDestMediaDefault can answer Letter on an A4 scheduler: ask for the
  // "media" default and look that size up instead.
  ipp_attribute_t* media = cupsFindDestDefault(http, dest.dest, info.info, "media");
  const char* mediaName = media ? ippGetString(media, 0, nullptr) : nullptr;
  cups_size_t size;
  if (!mediaName ||
      !cupsGetDestMediaByName(http, dest.dest, info.info, mediaName, CUPS_MEDIA_FLAGS_DEFAULT, &size)) {
    if (error) *error = "printer '" + std::string(dest.dest->name) + "' reports no default paper";
    return false;
  }
  *paper = PaperJson(size, cupsLocalizeDestMedia(http, dest.dest, info.info, CUPS_MEDIA_FLAGS_DEFAULT, &size));
  return true;
}

bool CupsClient::CustomPaperSupported(const std::string& name, bool* supported, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  std::string queue;
  if (!ResolveQueue(http, name, &queue, error)) return false;
  IppHolder response;
  if (!GetPrinterAttributes(http, queue, {"media-supported"}, &response, error)) return false;
  bool min = false, max = false;
  ipp_attribute_t* attr = ippFindAttribute(response.ipp, "media-supported", IPP_TAG_ZERO);
  for (int i = 0; attr && i < ippGetCount(attr); ++i) {
    const char* s = ippGetString(attr, i, nullptr);
    if (!s) continue;
    if (std::strncmp(s, "custom_min_", 11) == 0) min = true;
    if (std::strncmp(s, "custom_max_", 11) == 0) max = true;
  }
  *supported = min && max;
  return true;
}

bool CupsClient::SubmitJob(const std::string& printer, const std::string& title, const std::string& format,
                           const std::string& bytes, const Json::Value& options, int* jobId, std::string* error,
                           std::string* state) {
  http_t* http = Connection(error);
  if (!http) return false;
  std::string queue;
  if (!ResolveQueue(http, printer, &queue, error)) return false;
  int numOptions = 0;
  cups_option_t* cupsOptions = nullptr;
  if (options.isObject()) {
    for (const auto& key : options.getMemberNames()) {
      const Json::Value& v = options[key];
      if (v.isString() || v.isNumeric() || v.isBool())
        numOptions = cupsAddOption(key.c_str(), v.asString().c_str(), numOptions, &cupsOptions);
    }
  }
  // One Print-Job request: the document goes with it, and the answer carries
  // the job's number and its first state (no lookup of the queue's details
  // first, no second request for the document).
  ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(queue).c_str());
  AddRequestingUser(request);
  if (!title.empty()) ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format.c_str());
  cupsEncodeOptions2(request, numOptions, cupsOptions, IPP_TAG_OPERATION);
  cupsEncodeOptions2(request, numOptions, cupsOptions, IPP_TAG_JOB);
  cupsFreeOptions(numOptions, cupsOptions);
  const std::string resource = "/printers/" + queue;
  // (The length is the whole body: the request's own bytes, then the document.)
  http_status_t status = cupsSendRequest(http, request, resource.c_str(), ippLength(request) + bytes.size());
  ippDelete(request);
  for (size_t done = 0; status == HTTP_STATUS_CONTINUE && done < bytes.size();) {
    size_t piece = std::min<size_t>(bytes.size() - done, 65536);
    status = cupsWriteRequestData(http, bytes.data() + done, piece);
    done += piece;
  }
  IppHolder response;
  if (status == HTTP_STATUS_CONTINUE || status == HTTP_STATUS_OK) response.ipp = cupsGetResponse(http, resource.c_str());
  if (httpGetState(http) != HTTP_STATE_WAITING) httpFlush(http);
  if (!response.ipp || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    if (error)
      *error = cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND ? "no printer named '" + queue + "'"
                                                               : LastError("job for '" + queue + "' refused");
    return false;
  }
  *jobId = IntAttr(response.ipp, "job-id");
  if (state) *state = JobStateName(IntAttr(response.ipp, "job-state", IPP_JSTATE_PENDING));
  if (*jobId <= 0) {
    if (error) *error = "the scheduler gave the job for '" + queue + "' no number";
    return false;
  }
  return true;
}

bool CupsClient::JobAttributes(int jobId, Json::Value* job, std::string* error) {
  http_t* http = Connection(error);
  if (!http) return false;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  char uri[256];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(), "/jobs/%d", jobId);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
  AddRequestingUser(request);
  static const char* const kWanted[] = {"job-id", "job-state", "job-state-reasons", "job-printer-state-message",
                                        "job-impressions-completed", "job-media-sheets-completed", "job-k-octets",
                                        "time-at-creation", "job-originating-user-name", "job-name", "job-printer-uri"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                static_cast<int>(sizeof kWanted / sizeof kWanted[0]), nullptr, kWanted);
  IppHolder response;
  response.ipp = cupsDoRequest(http, request, "/");
  if (!response.ipp || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    if (error) *error = LastError("job " + std::to_string(jobId));
    return false;
  }
  Json::Value out(Json::objectValue);
  out["id"] = jobId;
  out["state"] = JobStateName(IntAttr(response.ipp, "job-state"));
  out["stateReasons"] = Strings(ippFindAttribute(response.ipp, "job-state-reasons", IPP_TAG_KEYWORD), true);
  out["message"] = StringAttr(response.ipp, "job-printer-state-message");
  int impressions = IntAttr(response.ipp, "job-impressions-completed", -1);
  if (impressions < 0) impressions = IntAttr(response.ipp, "job-media-sheets-completed", 0);
  out["pagesPrinted"] = impressions;
  out["sizeBytes"] = static_cast<Json::Int64>(IntAttr(response.ipp, "job-k-octets")) * 1024;
  out["submittedAt"] = IsoTime(IntAttr(response.ipp, "time-at-creation"));
  out["userName"] = StringAttr(response.ipp, "job-originating-user-name");
  out["title"] = StringAttr(response.ipp, "job-name");
  std::string printerUri = StringAttr(response.ipp, "job-printer-uri");
  size_t slash = printerUri.rfind('/');
  out["printerName"] = slash == std::string::npos ? printerUri : printerUri.substr(slash + 1);
  *job = out;
  return true;
}

bool CupsClient::JobPosition(const std::string& printer, int jobId, int* position, std::string* error) {
  if (!ValidName(printer)) {
    if (error) *error = "'" + printer + "' is not a valid printer name";
    return false;
  }
  http_t* http = Connection(error);
  if (!http) return false;
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, PrinterUri(printer).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, "job-id");
  IppHolder response;
  response.ipp = cupsDoRequest(http, request, "/");
  if (!response.ipp || cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    if (error) *error = LastError("jobs of '" + printer + "'");
    return false;
  }
  // The scheduler lists unfinished jobs in the order it will print them.
  int place = 0;
  *position = 0;
  for (ipp_attribute_t* attr = ippFindAttribute(response.ipp, "job-id", IPP_TAG_INTEGER); attr;
       attr = ippFindNextAttribute(response.ipp, "job-id", IPP_TAG_INTEGER)) {
    ++place;
    if (ippGetInteger(attr, 0) == jobId) {
      *position = place;
      break;
    }
  }
  return true;
}
