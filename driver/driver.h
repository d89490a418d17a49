// The image's entry routine: no runtime start-up runs before it and it never returns.
#pragma once

#include "win32/win32.h"

extern "C" [[noreturn]] void WINAPI EntryPoint(void);
