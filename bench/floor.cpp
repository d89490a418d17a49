// The floor of the Wine benchmark: walks every tree named on its command line with
// FindFirstFileW/FindNextFileW and nothing else, and prints how many entries it saw.
// x86-64 or i686 Windows, beside the image it is set against; no C runtime, and it declares the
// few Win32 calls it makes itself.

typedef int BOOL;
typedef unsigned int DWORD;
typedef char16_t WCHAR;
typedef void *HANDLE;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    DWORD times[6];
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[260];
    WCHAR cAlternateFileName[14];
};
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "WIN32_FIND_DATAW must match the system's layout");

#define W32(r) extern "C" __declspec(dllimport) r __stdcall
W32(void) ExitProcess(DWORD code) __attribute__((noreturn));
W32(BOOL) FindClose(HANDLE find);
W32(HANDLE) FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *data);
W32(BOOL) FindNextFileW(HANDLE find, WIN32_FIND_DATAW *data);
W32(WCHAR *) GetCommandLineW(void);
W32(HANDLE) GetStdHandle(DWORD which);
W32(BOOL) WriteFile(HANDLE file, const void *data, DWORD bytes, DWORD *written, void *overlapped);

#define INVALID_HANDLE_VALUE ((HANDLE)(decltype(sizeof 0))-1)
enum : DWORD { Directory = 0x10, ReparsePoint = 0x400, StdOutput = (DWORD)-11, PathUnits = 32768 };

// The walk's state lives here rather than on the stack, so that the frame needs no probe:
// one path buffer and one open handle per level, as deep as a 32,767-unit path can nest.
static WCHAR path[PathUnits];
static HANDLE handles[PathUnits / 2];

static bool IsDot(const WCHAR *name)
{
    return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}

// Opens "path\*" for the directory whose path fills the first length units; returns the
// handle and sets *names to where the entry names of that directory go.
static HANDLE Open(DWORD length, DWORD *names, WIN32_FIND_DATAW *find)
{
    path[length] = u'\\';
    path[length + 1] = u'*';
    path[length + 2] = 0;
    *names = length + 1;
    return FindFirstFileW(path, find);
}

// Counts every entry below the directory whose path fills the first length units of path,
// depth first, with one find record and a stack of handles.
static DWORD Walk(DWORD length)
{
    WIN32_FIND_DATAW find;
    DWORD entries = 0, level = 0, names;
    handles[0] = Open(length, &names, &find);
    if (handles[0] == INVALID_HANDLE_VALUE)
        return 0;
    for (;;) {
        if (!IsDot(find.cFileName)) {
            ++entries;
            if ((find.dwFileAttributes & (Directory | ReparsePoint)) == Directory) {
                DWORD end = names;
                for (const WCHAR *c = find.cFileName; *c; ++c)
                    path[end++] = *c;
                DWORD inner;
                HANDLE handle = Open(end, &inner, &find);
                if (handle != INVALID_HANDLE_VALUE) {
                    handles[++level] = handle;
                    names = inner;
                    continue;
                }
            }
        }
        while (!FindNextFileW(handles[level], &find)) {
            FindClose(handles[level]);
            if (level-- == 0)
                return entries;
            // Back in the parent: its names start after the backslash before this directory's.
            names -= 2;
            while (path[names] != u'\\')
                --names;
            ++names;
        }
    }
}

extern "C" [[noreturn]] void __stdcall EntryPoint(void)
{
    // Arguments are plain directory paths without spaces or quotes: the harness writes them.
    const WCHAR *line = GetCommandLineW();
    while (*line && *line != u' ')
        ++line;
    DWORD entries = 0; // a 32-bit count: i686 has no runtime for 64-bit division
    for (;;) {
        while (*line == u' ')
            ++line;
        if (!*line)
            break;
        DWORD length = 0;
        while (*line && *line != u' ')
            path[length++] = *line++;
        entries += Walk(length);
    }

    char text[24];
    int at = sizeof text;
    text[--at] = '\n';
    do
        text[--at] = (char)('0' + entries % 10);
    while (entries /= 10);
    DWORD written;
    WriteFile(GetStdHandle(StdOutput), text + at, sizeof text - at, &written, nullptr);
    ExitProcess(0);
}
