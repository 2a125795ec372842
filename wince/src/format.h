// Internals shared by the formatter and the code-page conversions.
#pragma once

#include <windows.h>

namespace wince {

// The board's 8-bit code page: Windows-1252 in 0x80-0x9F, Latin-1 elsewhere.
// Every byte maps to exactly one UTF-16 unit.
WCHAR ansiToWide(unsigned char byte);

}  // namespace wince
