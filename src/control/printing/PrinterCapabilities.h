// What a print queue can do, as its IPP printer attributes say, and the job
// options that ask for it.
//
// Capabilities (JSON, keywords as IPP names them):
//   {media: [...], mediaSources: [...], mediaTypes: [...], resolutions: ["600dpi", ...],
//    colorModes: [...], duplexModes: [...], finishings: [...], outputBins: [...],
//    qualities: ["draft", "normal", "high"], scalings: [...], pagesPerSheet: [1, 2, ...],
//    collate: bool, customPaper: bool, markers: [{name, color, type, level, lowLevel, highLevel}],
//    defaults: {mediaSource, mediaType, colorMode, duplexMode, resolution, quality, outputBin, finishings}}
// A list the printer does not report is empty: the printer says nothing, so
// nothing is promised and a job asking for it is refused.
#pragma once

#include <cups/ipp.h>
#include <json/json.h>

#include <string>
#include <vector>

// The printer attributes Capabilities reads (for Get-Printer-Attributes).
const std::vector<const char*>& CapabilityAttributes();
Json::Value CapabilitiesFromIpp(ipp_t* printerAttributes);

// printer-state-reasons as conditions a page can act on, each
// {condition, severity: "report"|"warning"|"error", reason}. The condition is a
// word from a small fixed set where the reason has a well-known meaning
// ("media-empty", "media-low", "media-jam", "door-open", "toner-low",
// "toner-empty", "waste-full", "output-full", "offline", "paused",
// "tray-missing", "spool-full"), else the reason without its severity suffix.
// "none" gives no condition.
Json::Value ReasonConditions(const Json::Value& reasons);

// Reads the job members that choose printer features ("mediaSource",
// "mediaType", "colorMode", "scaling", "quality", "resolution", "collate",
// "pagesPerSheet", "outputBin", "finishings") into IPP job options
// (media-source, print-color-mode, print-quality 3/4/5, printer-resolution,
// multiple-document-handling, number-up, ...). False with a message naming
// the member for a value of the wrong form; what the printer supports is
// checked later (CheckJobOptions), against the queue the job goes to.
bool ReadFeatureOptions(const Json::Value& job, Json::Value* cupsOptions, std::string* error);

// True when the printer reports every option value asked for; else false with
// a message that names the option, the value and what the printer offers.
// Options it does not know of (copies, page-ranges, ...) pass.
bool CheckJobOptions(const Json::Value& capabilities, const Json::Value& cupsOptions, const std::string& printer,
                     std::string* error);
