// Text conversions at the script engine's boundary. Duktape keeps strings in
// CESU-8: UTF-16 code units, each encoded like a UTF-8 character, so a
// character outside the BMP is two 3-byte surrogate sequences. Strings built
// by C code may also hold ordinary 4-byte UTF-8, which the decoders accept.
#pragma once

#include <string>
#include <string_view>

#include "platform/OleText.h"

// Every code unit kept, unpaired surrogates included.
std::string Utf16ToCesu8(OleStringView text);
// Surrogate sequences become code units again; 4-byte UTF-8 becomes a pair;
// malformed bytes become U+FFFD.
OleString Cesu8ToUtf16(std::string_view text);
// UTF-8 (the DOM's text) to CESU-8: only 4-byte sequences change.
std::string Utf8ToCesu8(std::string_view text);
// CESU-8 to UTF-8: surrogate pairs are joined, unpaired ones become U+FFFD.
std::string Cesu8ToUtf8(std::string_view text);
// The same two conversions into a caller's buffer, for code that must not
// hold temporaries (inside script engine calls). out may be null to count;
// the result is the number of units / bytes produced.
size_t EncodeCesu8(OleStringView text, char* out);
size_t DecodeCesu8(std::string_view text, OLECHAR* out);
// True when text has no 4-byte sequence, so it is CESU-8 as it stands.
bool IsCesu8Compatible(std::string_view text);
