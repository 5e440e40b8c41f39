// The Windows SDK's basic types, handles and message constants, as mingw-w64
// ships them. NOMINMAX and the XP target (_WIN32_WINNT 0x0501) are set by the
// build for every file.
#pragma once

#include <windows.h>
