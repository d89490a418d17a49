// The entry routine: splits the command line, hands every entry each argument matches to
// ChangeEntry, and ends the process with the outcome of the last argument.
#include "driver/driver.h"

#include "cmdline/cmdline.h"
#include "driver/console.h"
#include "rename/rename.h"

static const WCHAR ArgumentFailed[] = u"%ls() returned error %lu for argument '%ls'\n";

static const WCHAR Usage[] =
    u"Usage: shortcase NAME [NAME ...]\n"
    u"Renames each file or directory that NAME matches, and every entry below it, to its 8.3 "
    u"short name where the two differ only in case.\n";

// Windows reads "/?" as "\?": every one-letter entry in the root, and their whole subtrees.
// Whoever types it wants the usage text instead.
static bool IsHelp(const WCHAR *argument)
{
    return argument[0] == u'/' && argument[1] == u'?' && argument[2] == 0;
}

// Writes the pattern that opens one argument of length units into the path buffer and returns
// the position at which entry names go, or PathUnits when the pattern would not fit.
//
// The system reads a forward slash as a backslash, except in the \\?\ form, where it takes
// every unit literally; so both delimit here, and the directory part stays as typed.
//
// "photos\", "C:\", ".", "photos\..", a bare "C:" and a bare "\\server\share" name a
// directory's contents, not an entry: they are opened as if "\*" (or "*" after a separator or
// the drive colon) had been typed. FindFirstFileW answers "." or "C:" with the directory's own
// entry under its real name, and that name written after the "." would spell another path; a
// share it opens only by a pattern inside it.
static DWORD MakePattern(const WCHAR *argument, DWORD length, WCHAR *path)
{
    bool literal = length >= 4 && argument[0] == u'\\' && argument[1] == u'\\' &&
                   argument[2] == u'?' && argument[3] == u'\\';
    DWORD position = 0, separators = 0;
    for (DWORD i = 0; i < length; ++i)
        if (argument[i] == u'\\' || (argument[i] == u'/' && !literal)) {
            position = i + 1;
            ++separators;
        }
    if (position == 0 && length >= 2 && argument[1] == u':')
        position = 2;

    // What the contents forms lack: "*" after "photos\", "C:\" or "C:"; "\*" after "." or "..",
    // and after a share: two separators, a server, one more separator, a share. "\\.\" and
    // "\\?\" begin device and literal paths, not a server's name.
    DWORD tail = length - position;
    bool dots = tail > 0 && tail <= 2 && argument[position] == u'.' && argument[length - 1] == u'.';
    bool share = separators == 3 && tail > 0 && position > 3 &&
                 (argument[0] == u'\\' || argument[0] == u'/') &&
                 (argument[1] == u'\\' || argument[1] == u'/') && argument[2] != u'.' &&
                 argument[2] != u'?';
    DWORD extra = dots || share ? 2 : length > 0 && tail == 0 ? 1 : 0;
    if (length + extra >= PathUnits)
        return PathUnits;
    for (DWORD i = 0; i < length; ++i)
        path[i] = argument[i];
    if (extra == 2)
        path[length++] = u'\\';
    if (extra) {
        position = length;
        path[length++] = u'*';
    }
    path[length] = 0;
    return position;
}

// Treats every entry that one argument matches and returns the argument's outcome: the code
// of FindFirstFileW, or else the code the enumeration ended with, 0 for a normal end.
// Messages name the argument as it was typed, whatever pattern was opened for it.
static DWORD ChangeArgument(HANDLE console, const WCHAR *argument, WCHAR *path, WCHAR *target,
                            WIN32_FIND_DATAW *find)
{
    // A command line holds at most 32,767 units, so this only guards arguments that came
    // from elsewhere; such a path could not be opened anyway.
    DWORD length = 0;
    while (argument[length] && length < PathUnits)
        ++length;
    DWORD position = length < PathUnits ? MakePattern(argument, length, path) : PathUnits;
    if (position == PathUnits) {
        PrintConsole(console, ArgumentFailed, u"FindFirstFile", (DWORD)ERROR_FILENAME_EXCED_RANGE,
                     argument);
        return ERROR_FILENAME_EXCED_RANGE;
    }

    HANDLE handle = FindFirstFileW(path, find);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        PrintConsole(console, ArgumentFailed, u"FindFirstFile", error, argument);
        return error;
    }
    for (DWORD i = 0; i < position; ++i)
        target[i] = path[i];
    if (length + 1 > MAX_PATH)
        PrintConsole(console, u"Argument '%ls' exceeds MAX_PATH!\n", argument);

    DWORD matches = 0;
    do {
        if (IsDotEntry(find->cFileName))
            continue;
        ++matches;
        ChangeEntry(console, path, target, position, find);
    } while (FindNextFileW(handle, find));

    DWORD status = GetLastError();
    if (status == ERROR_NO_MORE_FILES)
        status = ERROR_SUCCESS;
    else
        PrintConsole(console, ArgumentFailed, u"FindNextFile", status, argument);
    if (matches == 0)
        PrintConsole(console, u"No match for argument '%ls'!\n", argument);
    if (!FindClose(handle))
        PrintConsole(console, ArgumentFailed, u"FindClose", GetLastError(), argument);
    return status;
}

extern "C" [[noreturn]] void WINAPI EntryPoint(void)
{
    // The only buffers of the run: the walk builds every path in place in these two.
    WCHAR path[PathUnits];
    WCHAR target[PathUnits];
    WIN32_FIND_DATAW find;

    DWORD status = ERROR_BAD_ARGUMENTS;
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    if (console == INVALID_HANDLE_VALUE)
        ExitProcess(GetLastError());

    DWORD count = 0;
    WCHAR **arguments = CommandLineToArgv(GetCommandLineW(), &count);
    if (!arguments) {
        status = GetLastError();
        PrintConsole(console, u"%ls() returned error %lu\n", u"CommandLineToArgv", status);
    } else {
        if (count < 2)
            PrintConsole(console, u"No arguments: at least one (wildcard) directory or file "
                                  u"name must be given!\n");
        else
            status = ERROR_SUCCESS; // stays so when "/?" was all there was
        for (DWORD i = 1; i < count; ++i) {
            if (IsHelp(arguments[i]))
                PrintConsole(console, Usage);
            else
                status = ChangeArgument(console, arguments[i], path, target, &find);
        }
        if (LocalFree(arguments))
            PrintConsole(console, u"%ls() returned error %lu\n", u"LocalFree", GetLastError());
    }
    // Without any standard error there is nothing to close; CloseHandle(NULL) would raise an
    // exception under a debugger or strict handle checking, and nothing here handles one.
    if (console && !CloseHandle(console))
        PrintConsole(console, u"%ls() returned error %lu\n", u"CloseHandle", GetLastError());
    ExitProcess(status);
}
