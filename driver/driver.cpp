// The entry routine: splits the command line, hands every entry each argument matches to
// ChangeEntry, and ends the process with the outcome of the last argument.
#include "driver/driver.h"

#include "cmdline/cmdline.h"
#include "driver/console.h"
#include "rename/rename.h"

static const WCHAR ArgumentFailed[] = u"%ls() returned error %lu for argument '%ls'\n";

// Treats every entry that one argument matches and returns the argument's outcome: the code
// of FindFirstFileW, or else the code the enumeration ended with, 0 for a normal end.
static DWORD ChangeArgument(HANDLE console, const WCHAR *argument, WCHAR *path, WCHAR *target,
                            WIN32_FIND_DATAW *find)
{
    // A command line holds at most 32,767 units, so this only guards arguments that came
    // from elsewhere; such a path could not be opened anyway.
    DWORD length = 0;
    while (argument[length] && length < PathUnits)
        ++length;
    if (length == PathUnits) {
        PrintConsole(console, ArgumentFailed, u"FindFirstFile", (DWORD)ERROR_FILENAME_EXCED_RANGE,
                     argument);
        return ERROR_FILENAME_EXCED_RANGE;
    }
    for (DWORD i = 0; i <= length; ++i)
        path[i] = argument[i];

    HANDLE handle = FindFirstFileW(path, find);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        PrintConsole(console, ArgumentFailed, u"FindFirstFile", error, path);
        return error;
    }

    // Entry names go after the last backslash, or after the drive colon of «C:*.txt»;
    // a forward slash is left to the system and does not delimit here.
    DWORD position = 0;
    for (DWORD i = 0; i <= length; ++i) {
        target[i] = path[i];
        if (path[i] == u'\\')
            position = i + 1;
    }
    if (position == 0 && length >= 2 && path[1] == u':')
        position = 2;
    if (length + 1 > MAX_PATH)
        PrintConsole(console, u"Argument '%ls' exceeds MAX_PATH!\n", path);

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
        for (DWORD i = 1; i < count; ++i)
            status = ChangeArgument(console, arguments[i], path, target, &find);
        if (LocalFree(arguments))
            PrintConsole(console, u"%ls() returned error %lu\n", u"LocalFree", GetLastError());
    }
    if (!CloseHandle(console))
        PrintConsole(console, u"%ls() returned error %lu\n", u"CloseHandle", GetLastError());
    ExitProcess(status);
}
