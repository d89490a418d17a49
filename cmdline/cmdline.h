// Splits a process command line into an argument vector held in one LocalAlloc block.
#pragma once

#include "win32/win32.h"

// Returns the pointer table of a block that the caller frees with one LocalFree; entry
// *count is null. Null on failure, with the last-error value 87 for a null pointer or an
// empty line, or LocalAlloc's code. A line ending inside quotes still yields a valid
// block, with the last-error value 160.
WCHAR **CommandLineToArgv(const WCHAR *line, DWORD *count);
