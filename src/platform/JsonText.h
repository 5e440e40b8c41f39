// Serialising JSON values for the wire.
//
// The compact form is Json::FastWriter's (no blanks, members in ascending
// byte order, one trailing newline) and the styled form Json::StyledWriter's
// (3-space indent, "key" : value, short arrays on one line). Both writers of
// this jsoncpp escape non-ASCII text as \u sequences and mangle bytes that are
// not UTF-8; here text leaves as its own characters: every string is taken
// from the thread's code page, and the writers' \u escapes above U+007F are
// turned back into characters. The result is text in the thread's code page.
#pragma once

#include <json/json.h>

#include <string>
#include <string_view>

// Text in the thread's code page as UTF-8, as the writers carry it: bytes
// that are not text there become U+FFFD, and NULs are kept.
std::string TextToUtf8(std::string_view text);

std::string WriteCompactJson(const Json::Value& value);
std::string WriteStyledJson(const Json::Value& value);

// Appends the compact form of value without the trailing newline: what
// WriteCompactJson gives, built directly for strings and other scalars (the
// path of every reply envelope).
void AppendCompactJson(std::string& out, const Json::Value& value);
// Appends text as a quoted JSON string, escaped as the compact writer does.
void AppendQuotedJson(std::string& out, std::string_view text);
// The index of the first byte at or after from that a JSON string cannot
// hold as it is (a control character, '"' or '\\'), or text.size().
size_t JsonPlainRunEnd(std::string_view text, size_t from);
