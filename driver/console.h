// Formatted diagnostics on the standard error console.
#pragma once

#include "win32/win32.h"

// Formats with wvsprintfW (at most 1,024 characters) and writes the text to the console.
// A message cut short by that limit still ends with its line feed. TRUE only when every
// unit was written; callers ignore the result, since a lost diagnostic changes nothing.
BOOL PrintConsole(HANDLE console, const WCHAR *format, ...);
