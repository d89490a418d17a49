// The image's load configuration. lld points the data directory at this symbol; its only
// non-zero field after the size restricts the search for kernel32 and user32 to System32,
// so a DLL planted beside the program is never loaded (honoured from Windows 10 1607 on).
#include "win32/win32.h"

// The first 64 bytes of IMAGE_LOAD_CONFIG_DIRECTORY32: the size Windows XP accepts on x86.
struct LoadConfig {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    DWORD DeCommitFreeBlockThreshold;
    DWORD DeCommitTotalFreeThreshold;
    DWORD LockPrefixTable;
    DWORD MaximumAllocationSize;
    DWORD VirtualMemoryThreshold;
    DWORD ProcessHeapFlags;
    DWORD ProcessAffinityMask;
    WORD CSDVersion;
    WORD DependentLoadFlags;
    DWORD EditList;
    DWORD SecurityCookie;
};
static_assert(sizeof(LoadConfig) == 64, "XP rejects any other size on x86");
static_assert(__builtin_offsetof(LoadConfig, DependentLoadFlags) == 0x36, "layout");

enum : WORD { LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800 };

extern "C" const LoadConfig _load_config_used = {
    sizeof(LoadConfig), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, LOAD_LIBRARY_SEARCH_SYSTEM32, 0, 0,
};
