// Checks of CommandLineToArgv; every failed check prints what went wrong and traps.
#pragma once

#include "win32/win32.h"

// Splits line (NUL-terminated, possibly empty), checks the result, the last-error value, the
// block and the allocations, then frees the block.
void CheckSplit(const WCHAR *line);

// Null line, null count and a failing LocalAlloc: null result, the right last-error value,
// the count untouched, nothing left allocated.
void CheckRejects();

// The model against hand-worked lines, then the splitter on the same lines; returns the
// number of lines checked.
int CheckKnownLines();
