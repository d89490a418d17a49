// LocalAlloc, LocalFree, SetLastError and GetLastError, sized exactly for AddressSanitizer.
#include "tests/fuzz/shim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Block {
    void *memory;
    SIZE_T bytes;
};

// The splitter makes one allocation a call; a few slots catch a leak or a second block
// without the shim itself needing to allocate.
constexpr int SLOTS = 8;

struct Shim {
    Block live[SLOTS];
    DWORD calls;
    UINT lastFlags;
    DWORD failCode; // 0: no failure pending
    DWORD lastError;
};

Shim shim;

[[noreturn]] void ShimFault(const char *what)
{
    fprintf(stderr, "shim: %s\n", what);
    __builtin_trap();
}

} // namespace

void ShimReset()
{
    memset(&shim, 0, sizeof shim);
}

SIZE_T ShimBlockSize(const void *memory)
{
    for (const Block &block : shim.live)
        if (memory && block.memory == memory)
            return block.bytes;
    return 0;
}

DWORD ShimLiveBlocks()
{
    DWORD live = 0;
    for (const Block &block : shim.live)
        live += block.memory != nullptr;
    return live;
}

DWORD ShimAllocCalls()
{
    return shim.calls;
}

UINT ShimLastFlags()
{
    return shim.lastFlags;
}

void ShimFailNextAlloc(DWORD code)
{
    shim.failCode = code;
}

extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    ++shim.calls;
    shim.lastFlags = flags;
    if (shim.failCode) {
        shim.lastError = shim.failCode;
        shim.failCode = 0;
        return nullptr;
    }
    if (flags & ~(UINT)LMEM_ZEROINIT)
        ShimFault("LocalAlloc: only LMEM_ZEROINIT is simulated");
    Block *slot = nullptr;
    for (Block &block : shim.live)
        if (!block.memory) {
            slot = &block;
            break;
        }
    if (!slot)
        ShimFault("LocalAlloc: too many live blocks");
    // Exactly the size asked for (at least one byte, so that malloc returns a unique pointer).
    void *memory = malloc(bytes ? bytes : 1);
    if (!memory)
        ShimFault("LocalAlloc: host malloc failed");
    // Without LMEM_ZEROINIT the contents are garbage, so code that relies on zeroes it did
    // not ask for shows up.
    memset(memory, flags & LMEM_ZEROINIT ? 0 : 0xA5, bytes);
    *slot = Block{memory, bytes};
    return memory;
}

extern "C" HLOCAL LocalFree(HLOCAL memory)
{
    if (!memory)
        return nullptr;
    for (Block &block : shim.live)
        if (block.memory == memory) {
            free(memory);
            block = Block{};
            return nullptr;
        }
    ShimFault("LocalFree: not a live block (double free or foreign pointer)");
}

extern "C" void SetLastError(DWORD code)
{
    shim.lastError = code;
}

extern "C" DWORD GetLastError(void)
{
    return shim.lastError;
}
