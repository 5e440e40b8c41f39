// Base64 (RFC 4648, standard alphabet) for the file members.
#pragma once

#include <string>
#include <string_view>

std::string Base64Encode(std::string_view bytes);
// Decodes text; whitespace is skipped and the final padding may be missing.
// False (out untouched) on any other character, misplaced padding or a
// dangling single character.
bool Base64Decode(std::string_view text, std::string* out);
