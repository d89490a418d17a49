// The simulated Win32 layer of the host build: the product sources link against it unchanged.
// It keeps an in-memory volume, a recording console, a settable command line, a checked local
// heap and countdown fault injection. Its state is the one piece of global state; call Reset()
// before every test.
//
// The volume model, kept simple on purpose:
// - One drive, C:, with root "C:\". A path is "C:\a\b" (absolute), "\a\b" (from the root),
//   "C:a\b" or "a\b" (from the current directory, C:\ after Reset). A forward slash separates
//   like the backslash; "." and ".." are understood in the directory part. Another drive
//   letter is ERROR_PATH_NOT_FOUND. "\\?\C:\a\b" is taken literally: only the backslash
//   separates there, and "." and ".." are names like any other.
// - Network shares (AddShare) are tops of trees of their own, like the root: "\\server\share\a"
//   and "\\server\share\*" are paths inside one. As on Windows, "\\server\share" alone opens
//   nothing; it fails like an unknown share or server, here with ERROR_BAD_NETPATH.
// - Without wildcards, a last component "." or "..", or a bare "C:", finds the directory it
//   resolves to, under that directory's own name (the root and a share have none:
//   ERROR_FILE_NOT_FOUND).
// - Names are found by their long or their short name, case-insensitively, except in a
//   directory marked case-sensitive, where both must match exactly.
// - '*' and '?' are wildcards in the last component only; a pattern matches an entry when it
//   matches its long or its short name. A wildcard listing of a directory other than the root
//   starts with "." and ".." when the pattern matches them, as on Windows.
// - Enumeration order is insertion order. FindFirstFileW takes a snapshot of the matching
//   entries, so renames during an enumeration never disturb an open find handle.
// - MoveFileW never replaces an entry (ERROR_ALREADY_EXISTS) unless the target names the very
//   entry being moved, which makes a case-only rename succeed. When the new long name equals
//   the entry's short name exactly, the short name is dropped, as NTFS does for a long name
//   that is itself a valid 8.3 name: a second run finds nothing to do.
// - Paths of 32,768 units or more fail with ERROR_FILENAME_EXCED_RANGE.
// - A long name of 260 units or a short name of 14 fills its field of the find record and
//   leaves no terminator there: no file system hands back such a record, but the program must
//   not read past either field. A long name of 260 units is listed, but no path names it.
//
// A failed call, injected or not, changes nothing: a failed LocalFree leaves the block live,
// a failed FindClose or CloseHandle leaves the handle open.
#pragma once

#include <string>
#include <vector>

#include "win32/win32.h"

namespace sim {

// The calls that are counted; every one of them takes injected faults.
enum class Call {
    FindFirstFile, FindNextFile, FindClose, MoveFile, LocalAlloc, LocalFree, CloseHandle,
    WriteConsole, Count
};

// Empties the volume, the console and the heap (freeing what is left), clears faults and counts.
void Reset();

// --- Volume. Paths here are UTF-8; the parent directory must exist. Misuse aborts.
void AddFile(const std::string &path, const std::string &shortName = "", DWORD attributes = 0);
void AddDirectory(const std::string &path, const std::string &shortName = "",
                  DWORD attributes = 0);
// Adds the empty network share "\\server\share".
void AddShare(const std::string &share);
void SetCaseSensitive(const std::string &directory);
// Every FindFirstFileW inside the directory fails with error (e.g. ERROR_ACCESS_DENIED).
void RefuseListing(const std::string &directory, DWORD error);
void SetCurrentDirectory(const std::string &directory);
// Full long-name paths below directory, depth first in enumeration order; a directory's path
// ends with a backslash.
std::vector<std::string> Tree(const std::string &directory = "C:\\");
// What the program did, in order: "FindFirstFile <pattern>", "FindClose <pattern>",
// "MoveFile <from> <to>"; a failed call has " error <code>" appended.
const std::vector<std::string> &Log();
// Off for very deep or wide trees, where a log of full paths would cost more than the run.
void KeepLog(bool keep);

// --- Process.
void SetCommandLine(const std::u16string &line);
enum class StdErr {
    Console,    // a console: WriteConsoleW records the text
    Redirected, // a file or pipe: WriteConsoleW fails with ERROR_INVALID_HANDLE
    Null,       // no standard error handle at all
    Invalid,    // GetStdHandle fails: INVALID_HANDLE_VALUE with the given last error
};
void SetStdErr(StdErr kind, DWORD error = ERROR_INVALID_HANDLE);
std::string ConsoleText(); // everything written to the console, as UTF-8
// Makes lstrcmpiW fold as under a Turkish user locale: «i» with «İ», «ı» with «I».
void TurkishLocale(bool on);
// Makes wvsprintfW cut as Wine's does: 1,023 characters kept, but 1,024 returned, the
// terminator counted.
void CutLikeWine(bool on);
// Every text wvsprintfW formatted, in full (before its 1,024-character cut), as UTF-8.
const std::vector<std::string> &Formatted();

// --- Faults and counts.
// The nth call of that kind from now (1: the next one) fails with error, which must not be 0;
// with persistent, every later call fails too. One fault per kind; a new one replaces it.
void Fail(Call call, unsigned nth, DWORD error, bool persistent = false);
unsigned Calls(Call call);
unsigned OpenFinds();
unsigned PeakOpenFinds();
unsigned LiveAllocations();
// Frees of unknown or freed blocks, uses of closed or unknown find handles, second closes.
unsigned Misuses();

// --- Running the program.
struct Exit { // thrown by ExitProcess
    UINT code;
};
struct Result {
    DWORD status;
    std::string console; // what this run wrote, as UTF-8
};
Result Run(const std::u16string &commandLine);
Result Run(const std::string &commandLine);

std::string Utf8(const std::u16string &text);
std::u16string Utf16(const std::string &text);

} // namespace sim
