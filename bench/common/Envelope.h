// A reader of the compact JSON objects the host writes ({"data":...,
// "event":"...","index":N,"tab":1}): it walks the top-level members once,
// without building a tree, so that reading a reply costs the client little
// next to what it measures. Strings are handed out raw (still escaped).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bench {

struct Envelope {
  std::optional<std::string_view> method;  // raw string value
  std::optional<std::string_view> event;   // raw string value
  std::optional<std::string_view> data;    // raw JSON value (a string keeps its quotes)
  std::optional<int64_t> index;
  std::optional<std::string_view> tab;     // raw JSON value
};

// Reads the top-level members of one JSON object. False when the text is not
// a JSON object this reader understands (then the envelope is incomplete).
bool ReadEnvelope(std::string_view text, Envelope& out);

// Appends the unescaped content of a raw JSON string body (without quotes),
// encoding \u escapes as UTF-8. False on a malformed escape.
bool AppendUnescaped(std::string& out, std::string_view raw);

// The body of a raw JSON string value with its quotes, or nullopt when the
// value is not a string.
std::optional<std::string_view> StringBody(std::string_view rawValue);

}  // namespace bench
