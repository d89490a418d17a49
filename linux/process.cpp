// The process over Linux: the last error, the command line, memory, the console, and the text
// functions the product's messages use.
#include "linux/linux.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// The layer's state, which the product never sees: the thread's last error, the command line,
// the descriptor of the console, the options, the first error that lost a line of the list
// of renames, the last failure the product reported and went on from, the NAMEs as typed,
// and the part of the list that waits to be written.
static DWORD lastError;
static WCHAR *commandLine;
static int console = 2;
static unsigned options;
static DWORD recordError;
static DWORD failure;
static char **typed;
static int typedCount;
static char waiting[65536];   // the list of renames not yet written (FlushList)
static size_t waitingLength;
static int listWaits = -1;   // whether it may wait, decided at the list's first line

void SetProcess(WCHAR *line, int consoleDescriptor, unsigned runOptions)
{
    commandLine = line;
    console = consoleDescriptor;
    options = runOptions;
    recordError = failure = 0;
    listWaits = -1;
}

void SetNames(char **names, int count)
{
    typed = names;
    typedCount = count;
}

bool TypedName(const char *bytes)
{
    for (int i = 0; i < typedCount; ++i)
        if (strcmp(typed[i], bytes) == 0)
            return true;
    return false;
}

unsigned Options(void)
{
    return options;
}

BOOL Fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

int ConsoleDescriptor(void)
{
    return console;
}

WCHAR *GetCommandLineW(void)
{
    return commandLine;
}

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD code)
{
    lastError = code;
}

static void FlushList(void);

void NoteFailure(DWORD code)
{
    failure = code;
}

// The product's status is that of the last NAME alone. A script must not read success where
// a rename failed or a directory was not listed, nor where the list of renames asked for was
// lost: such a run ends with that code instead of 0.
void ExitProcess(UINT code)
{
    FlushList();
    // Nor where the renames made in an image (-i) did not reach the device.
    DWORD flushError = CloseImage();
    exit(ExitStatus(code != ERROR_SUCCESS ? code : flushError ? flushError
                                          : failure ? failure : recordError));
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    void *memory = flags & LMEM_ZEROINIT ? calloc(1, bytes) : malloc(bytes);
    if (!memory)
        lastError = ERROR_NOT_ENOUGH_MEMORY;
    return memory;
}

HLOCAL LocalFree(HLOCAL memory)
{
    free(memory);
    return nullptr;
}

// The console is a descriptor, standard error unless the layer chose another. Without one
// (started with 2>&-) there is no handle, as for a Windows process without standard error.
HANDLE GetStdHandle(DWORD which)
{
    if (which != STD_ERROR_HANDLE)
        return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    if (fcntl(console, F_GETFD) < 0)
        return nullptr;
    return &console;
}

BOOL CloseHandle(HANDLE object)
{
    if (object != &console)
        return Fail(ERROR_INVALID_HANDLE);
    if (close(console) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

// Appends the text as UTF-8 to bytes[length], within size bytes; a lone surrogate that stands
// for no byte, which would not encode, shows as U+FFFD. Returns the new length.
static DWORD AppendText(const WCHAR *text, DWORD units, char *bytes, DWORD length, DWORD size)
{
    for (DWORD i = 0; i < units && length + 4 < size; ++i) {
        WCHAR unit = text[i];
        bool paired = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        DWORD count = PathToBytes(text + i, paired ? 2 : 1, bytes + length, 4);
        if (count > 4) {
            static const WCHAR replacement = 0xFFFD;
            count = PathToBytes(&replacement, 1, bytes + length, 4);
        }
        length += count;
        i += paired;
    }
    return length;
}

bool WriteAll(int descriptor, const char *bytes, SIZE_T length)
{
    for (size_t done = 0; done < length;) {
        ssize_t wrote = write(descriptor, bytes + done, length - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return Fail(wrote < 0 ? ErrorFromErrno(errno) : ERROR_INVALID_HANDLE);
        done += (size_t)wrote;
    }
    return true;
}

// Writes the text as UTF-8 to the descriptor, also a file or a pipe: on Linux `2>log` is
// how a user keeps the messages. Paths are shown with '/', as Linux spells them.
BOOL WriteConsoleW(HANDLE handle, const void *text, DWORD units, DWORD *written, void *)
{
    static char bytes[PathBytes];
    if (handle != &console)
        return Fail(ERROR_INVALID_HANDLE);
    DWORD length = AppendText((const WCHAR *)text, units, bytes, 0, PathBytes);
    if (!WriteAll(console, bytes, length))
        return FALSE;
    *written = units;
    return TRUE;
}

// Writes lines of the list of renames; the first failure is said once on the console.
static void WriteList(const char *bytes, size_t length)
{
    if (!WriteAll(1, bytes, length) && !recordError) {
        recordError = GetLastError();
        dprintf(console, "The renames cannot be listed: writing to standard output failed "
                         "with error %u\n", (unsigned)recordError);
    }
}

// A dry run's list into a file or a pipe waits (waiting) and goes out in large writes: it
// records nothing that could be lost. A real run's goes out a line at a time, so that a run
// killed midway has listed every rename it made; so does any list to a terminal, in step with
// the messages beside it.

static void FlushList(void)
{
    if (waitingLength)
        WriteList(waiting, waitingLength);
    waitingLength = 0;
}

void Record(const WCHAR *verb, const WCHAR *from, const WCHAR *to)
{
    static char line[2 * PathBytes + 64];
    const WCHAR *parts[] = {verb, u" '", from, u"' -> '", to, u"'\n"};
    DWORD length = 0;
    for (const WCHAR *part : parts) {
        DWORD units = 0;
        while (part[units])
            ++units;
        length = AppendText(part, units, line, length, sizeof line);
    }
    if (listWaits < 0)
        listWaits = (options & OptionDryRun) && !isatty(1);
    if (!listWaits || waitingLength + length > sizeof waiting)
        FlushList();
    if (!listWaits || length > sizeof waiting)
        return WriteList(line, length);
    memcpy(waiting + waitingLength, line, length);
    waitingLength += length;
}

// Folds every letter, not only ASCII, and compares code point by code point.
int lstrcmpiW(const WCHAR *a, const WCHAR *b)
{
    for (;; ++a, ++b) {
        WCHAR x = FoldCase(*a), y = FoldCase(*b);
        if (x != y)
            return x < y ? -1 : 1;
        if (!x)
            return 0;
    }
}

// Formats the two conversions the product uses, %ls (a UTF-16 string) and %lu (a DWORD), and
// %%; like Windows, at most 1,024 characters and a terminator.
int wvsprintfW(WCHAR *buffer, const WCHAR *format, va_list args)
{
    enum : DWORD { Limit = 1024 };
    DWORD out = 0;
    for (const WCHAR *f = format; *f && out < Limit; ++f) {
        if (f[0] == u'%' && f[1] == u'l' && f[2] == u's') {
            for (const WCHAR *s = va_arg(args, const WCHAR *); *s && out < Limit; ++s)
                buffer[out++] = *s;
            f += 2;
        } else if (f[0] == u'%' && f[1] == u'l' && f[2] == u'u') {
            WCHAR digits[10];
            DWORD count = 0;
            for (DWORD value = va_arg(args, DWORD); count == 0 || value; value /= 10)
                digits[count++] = (WCHAR)(u'0' + value % 10);
            while (count && out < Limit)
                buffer[out++] = digits[--count];
            f += 2;
        } else if (f[0] == u'%' && f[1] == u'%') {
            buffer[out++] = u'%';
            ++f;
        } else {
            buffer[out++] = *f;
        }
    }
    buffer[out] = 0;
    return (int)out;
}
