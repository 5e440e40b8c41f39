// A quick parse for the plain JSON that requests are made of.
//
// jsoncpp's reader is the judge of what a request text means; this parse
// only takes the common case faster. It accepts a text that is one JSON
// object in plain form: objects, arrays, strings, small integers, true,
// false and null, with blanks between them, nested at most kPlainJsonDepth
// deep. For such a text it builds the value Json::Reader (default features)
// builds, member for member and type for type. Everything else it declines,
// without deciding anything about it: comments, fractions and exponents,
// integers of ten digits or more or with a leading zero, \u escapes of
// surrogates, control characters inside strings, trailing commas, anything
// after the closing brace other than blanks, deeper nesting, a text that
// does not start with '{', and all malformed text. The caller then hands the
// text to the reader, so what is accepted, refused or thrown is decided as
// before.
#pragma once

#include <json/json.h>

#include <cstddef>

inline constexpr int kPlainJsonDepth = 16;
// *out is null on entry, or holds a value an earlier ParsePlainJson made
// (unchanged since). Such an object, with at most this many members, is
// reused: its map and the nodes of members the text sets again stay where
// they are (allocating and freeing them costs more than the rest of a small
// parse). The result is the same as when parsing into a null value.
inline constexpr size_t kPlainJsonReused = 8;

// The members "method" and "event" of the top-level object as the parse set
// them (null: the text has no member of that name), so that a caller need
// not look them up. They stay valid while the value is not changed; moving
// its payload (swapPayload) keeps them.
struct PlainJsonEnvelope {
  bool noted = false;  // the parse took the text: the rest is known
  const Json::Value* method = nullptr;
  const Json::Value* event = nullptr;
  // At most kPlainJsonReused members, none of them an object or an array,
  // and no name or text longer than kPlainJsonSmallText bytes: a value
  // worth keeping to parse into again, and small to keep.
  bool small = false;
};
inline constexpr size_t kPlainJsonSmallText = 256;

// True when [begin, end) was taken: *out holds its value, and *envelope (when
// given) its envelope members. False when it was declined: *out is null.
// May throw std::bad_alloc.
bool ParsePlainJson(const char* begin, const char* end, Json::Value* out, PlainJsonEnvelope* envelope = nullptr);
