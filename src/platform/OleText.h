// Automation text on both platforms: UTF-16 in OLECHAR units, which are
// wchar_t on Windows and char16_t here (wchar_t is 4 bytes on Linux).
// Literals are written OLESTR("text"); strings of them are OleString.
#pragma once

#include <string>
#include <string_view>

#include "platform/WinTypes.h"

using OleString = std::basic_string<OLECHAR>;
using OleStringView = std::basic_string_view<OLECHAR>;
