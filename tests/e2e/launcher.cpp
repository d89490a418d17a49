// Starts one program under Wine with an exact command line and records its full exit code.
//
// Usage: launcher.exe REQUEST, where REQUEST is the Windows path of a UTF-16LE file holding
// four fields, each ended by a NUL unit: the program's path, its command line, its current
// directory (empty: the launcher's own) and the path of the result file. Wine re-quotes a
// Unix argv, so the command line travels in a file rather than through wine's arguments.
// The result file receives the child's exit code in decimal, or "launch-error N" with the
// GetLastError code when the request could not be read or the child could not be started.
// The child inherits the launcher's standard handles, console or not.

typedef int BOOL;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef char16_t WCHAR;
typedef unsigned char BYTE;
typedef void *HANDLE;

#define W32(r) extern "C" __declspec(dllimport) r __stdcall

struct STARTUPINFOW {
    DWORD cb;
    WCHAR *lpReserved;
    WCHAR *lpDesktop;
    WCHAR *lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
static_assert(sizeof(void *) != 8 || sizeof(STARTUPINFOW) == 104, "STARTUPINFOW is 104 bytes on x64");
static_assert(sizeof(void *) != 4 || sizeof(STARTUPINFOW) == 68, "STARTUPINFOW is 68 bytes on x86");

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

W32(BOOL) CloseHandle(HANDLE object);
W32(HANDLE) CreateFileW(const WCHAR *name, DWORD access, DWORD share, void *security,
                        DWORD disposition, DWORD flags, HANDLE templ);
W32(BOOL) CreateProcessW(const WCHAR *application, WCHAR *commandLine, void *processSecurity,
                         void *threadSecurity, BOOL inheritHandles, DWORD flags, void *environment,
                         const WCHAR *directory, STARTUPINFOW *startup, PROCESS_INFORMATION *info);
W32(void) ExitProcess(DWORD code) __attribute__((noreturn));
W32(WCHAR *) GetCommandLineW(void);
W32(BOOL) GetExitCodeProcess(HANDLE process, DWORD *code);
W32(DWORD) GetLastError(void);
W32(HANDLE) GetStdHandle(DWORD which);
W32(BOOL) ReadFile(HANDLE file, void *buffer, DWORD bytes, DWORD *read, void *overlapped);
W32(DWORD) WaitForSingleObject(HANDLE object, DWORD milliseconds);
W32(BOOL) WriteFile(HANDLE file, const void *buffer, DWORD bytes, DWORD *written, void *overlapped);

enum : DWORD {
    GENERIC_READ = 0x80000000,
    GENERIC_WRITE = 0x40000000,
    CREATE_ALWAYS = 2,
    OPEN_EXISTING = 3,
    FILE_SHARE_READ = 1,
    INFINITE = 0xFFFFFFFF,
    STARTF_USESTDHANDLES = 0x100,
    STD_INPUT_HANDLE = (DWORD)-10,
    STD_OUTPUT_HANDLE = (DWORD)-11,
    STD_ERROR_HANDLE = (DWORD)-12,
};
#define INVALID_HANDLE_VALUE ((HANDLE)(decltype(sizeof 0))-1)

// A command line holds at most 32,767 units; the other three fields are paths.
static WCHAR request[4 * 32768 + 1];

// clang turns the zeroing of a large local into a memset call even when freestanding.
extern "C" void *memset(void *to, int value, decltype(sizeof 0) bytes)
{
    volatile unsigned char *p = static_cast<unsigned char *>(to);
    while (bytes--)
        *p++ = (unsigned char)value;
    return to;
}

// Writes text (ASCII) to the result file; returns whether all of it got there.
static bool WriteResult(const WCHAR *path, const char *text, DWORD bytes)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text, bytes, &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes;
}

// Formats prefix and code in decimal into out; returns the length.
static DWORD Format(char *out, const char *prefix, DWORD code)
{
    DWORD n = 0;
    while (*prefix)
        out[n++] = *prefix++;
    char digits[10];
    DWORD count = 0;
    do {
        digits[count++] = (char)('0' + code % 10);
        code /= 10;
    } while (code);
    while (count)
        out[n++] = digits[--count];
    return n;
}

// The request path: everything after the launcher's own name on its command line, without
// the quotes Wine may have put around it.
static const WCHAR *RequestPath(WCHAR *line)
{
    if (*line == u'"') {
        ++line;
        while (*line && *line != u'"')
            ++line;
        if (*line)
            ++line;
    } else {
        while (*line && *line != u' ' && *line != u'\t')
            ++line;
    }
    while (*line == u' ' || *line == u'\t')
        ++line;
    if (*line == u'"') {
        WCHAR *start = ++line;
        while (*line && *line != u'"')
            ++line;
        *line = 0;
        return start;
    }
    WCHAR *end = line;
    while (*end)
        ++end;
    while (end > line && (end[-1] == u' ' || end[-1] == u'\t'))
        *--end = 0;
    return line;
}

extern "C" [[noreturn]] void __stdcall EntryPoint(void)
{
    const WCHAR *requestPath = RequestPath(GetCommandLineW());
    HANDLE file = CreateFileW(requestPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        ExitProcess(GetLastError());
    DWORD bytes = 0;
    BOOL ok = ReadFile(file, request, sizeof request - sizeof(WCHAR), &bytes, nullptr);
    DWORD readError = GetLastError();
    CloseHandle(file);
    if (!ok)
        ExitProcess(readError);
    request[bytes / sizeof(WCHAR)] = 0;

    // Split the four NUL-ended fields in place.
    WCHAR *fields[4];
    WCHAR *p = request;
    WCHAR *end = request + bytes / sizeof(WCHAR);
    for (int i = 0; i < 4; ++i) {
        if (p >= end)
            ExitProcess(87);
        fields[i] = p;
        while (p < end && *p)
            ++p;
        ++p;
    }
    const WCHAR *program = fields[0];
    WCHAR *commandLine = fields[1];
    const WCHAR *directory = *fields[2] ? fields[2] : nullptr;
    const WCHAR *resultPath = fields[3];

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    char text[32];
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, 1, 0, nullptr, directory, &startup,
                        &info)) {
        DWORD error = GetLastError();
        WriteResult(resultPath, text, Format(text, "launch-error ", error));
        ExitProcess(error ? error : 1);
    }
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(info.hProcess, &code)) {
        DWORD error = GetLastError();
        WriteResult(resultPath, text, Format(text, "launch-error ", error));
        ExitProcess(error ? error : 1);
    }
    CloseHandle(info.hProcess);
    ExitProcess(WriteResult(resultPath, text, Format(text, "", code)) ? 0 : 1);
}
