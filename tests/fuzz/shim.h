// The four kernel32 calls the splitter and its checks need, with accounting the checks can read.
#pragma once

#include "win32/win32.h"

// Forgets every block without freeing it and clears the counters and the pending failure;
// each check starts from here.
void ShimReset();

// Size in bytes of the live block that starts exactly at memory, or 0 when there is none.
SIZE_T ShimBlockSize(const void *memory);

// Blocks allocated and not yet freed, and LocalAlloc calls since the last reset.
DWORD ShimLiveBlocks();
DWORD ShimAllocCalls();

// The flags of the last LocalAlloc call.
UINT ShimLastFlags();

// Makes the next LocalAlloc fail with code as its last-error value.
void ShimFailNextAlloc(DWORD code);
