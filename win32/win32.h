// The small Win32 subset shortcase uses, declared by hand instead of taken from a vendor SDK.
// The Windows build resolves these against kernel32 and user32; the host test build against
// the simulated layer in tests/sim. Both compile this one header, so a layout mistake shows in both.
#pragma once

#include <stdarg.h>

#if defined(_WIN32)
#define WINAPI __stdcall
#define W32(r) extern "C" __declspec(dllimport) r WINAPI
#else
#define WINAPI
#define W32(r) extern "C" r
#endif

// Spelled with fixed-size builtin types so that the layout is the same for i686 Windows and
// for the 64-bit host build. DWORD is 32 bits everywhere: `%lu` in a wvsprintfW format takes one.
typedef int BOOL;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef unsigned int UINT;
typedef char16_t WCHAR;
typedef void *HANDLE;
typedef HANDLE HLOCAL;
typedef decltype(sizeof 0) SIZE_T;

enum : DWORD {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_NO_MORE_FILES = 18,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_BAD_ARGUMENTS = 160,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206,

    FALSE = 0,
    TRUE = 1,

    FILE_ATTRIBUTE_DIRECTORY = 0x10,
    FILE_ATTRIBUTE_REPARSE_POINT = 0x400,

    LMEM_ZEROINIT = 0x40,
    MAX_PATH = 260,
    STD_ERROR_HANDLE = (DWORD)-12,
};

#define INVALID_HANDLE_VALUE ((HANDLE)(SIZE_T)-1)

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW must match the system's layout");

// kernel32
W32(BOOL) CloseHandle(HANDLE object);
W32(void) ExitProcess(UINT code) __attribute__((noreturn));
W32(BOOL) FindClose(HANDLE find);
W32(HANDLE) FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *data);
W32(BOOL) FindNextFileW(HANDLE find, WIN32_FIND_DATAW *data);
W32(WCHAR *) GetCommandLineW(void);
W32(DWORD) GetLastError(void);
W32(HANDLE) GetStdHandle(DWORD which);
W32(HLOCAL) LocalAlloc(UINT flags, SIZE_T bytes);
W32(HLOCAL) LocalFree(HLOCAL memory);
W32(BOOL) MoveFileW(const WCHAR *from, const WCHAR *to);
W32(void) SetLastError(DWORD code);
W32(BOOL) WriteConsoleW(HANDLE console, const void *text, DWORD units, DWORD *written, void *reserved);
W32(int) lstrcmpiW(const WCHAR *a, const WCHAR *b);

// user32: stdcall and va_list-taking (the varargs wsprintfW is the cdecl one).
W32(int) wvsprintfW(WCHAR *buffer, const WCHAR *format, va_list args);
