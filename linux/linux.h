// The Linux layer's own helpers: what it adds to carry the unchanged product over Linux, kept
// apart from the Win32 functions it implements so that its start-up code and its tests reach them.
#pragma once

#include "win32/win32.h"

// The most units a path or a command line may hold, its terminator included.
enum : DWORD { LineUnits = 32768 };

// Linux names are bytes and Windows names UTF-16. Valid UTF-8 becomes UTF-16; every byte that
// is not part of valid UTF-8 becomes the lone surrogate U+DC00 + byte, which no valid text
// holds, so every byte string comes back from the UTF-16 form byte for byte. A backslash in a
// name becomes U+DC5C too: the product splits paths at backslashes, and on Linux a backslash is
// part of a name. Writes at most size units and a terminator; returns the units written, or
// size + 1 when the text does not fit.
DWORD NameToUtf16(const char *bytes, DWORD length, WCHAR *text, DWORD size);

// The way back for a path the product built: its backslashes separate (and become '/'), the
// surrogates U+DC00 + byte give back their bytes. Writes at most size bytes and a
// terminator; returns the bytes written, or size + 1 when they do not fit or when the text
// holds a surrogate that stands for nothing.
DWORD PathToBytes(const WCHAR *text, DWORD length, char *bytes, DWORD size);

// Whether two names are spelled exactly alike.
bool SameName(const WCHAR *a, const WCHAR *b);

// Whether the text (length units) holds a wildcard, '*' or '?'.
bool HasWildcards(const WCHAR *text, DWORD length);

// Case-insensitive comparison of two units, by the Unicode case mapping.
WCHAR FoldCase(WCHAR unit);

// Whether name matches the last component of a find pattern as Windows matches it: '*' any run,
// '?' one unit, and the DOS rules that make "*.*" match every name, "*." names without a dot,
// and a '?' before a dot or at the end also match nothing; without regard to case.
bool MatchesPattern(const WCHAR *pattern, DWORD patternLength, const WCHAR *name,
                    DWORD nameLength);

// The Win32 error code a Windows user sees where Linux reports errnum.
DWORD ErrorFromErrno(int errnum);

// The process's exit status for a Win32 code: the code itself where it fits in the eight bits
// a Linux parent sees, 255 for every larger one, so that no failure ever reads as success.
int ExitStatus(DWORD code);

// Builds the command line that CommandLineToArgv splits back into exactly these arguments,
// into line (LineUnits units). Returns false when it would exceed 32,767 units.
bool BuildCommandLine(int argc, char **argv, WCHAR *line);

// The options a Linux user gives.
enum : unsigned { OptionDryRun = 1, OptionVerbose = 2, OptionHelp = 4, OptionVersion = 8 };

// Reads the options from argv[1] on into *options, as GNU's getopt does: -n or --dry-run, -v
// or --verbose, also as -nv, and --help and --version, or a long option's unambiguous start.
// They may stand anywhere before "--" (permute), or only before the first NAME (not permute,
// as POSIXLY_CORRECT asks); "-" alone is a NAME, and --help or --version ends the reading.
// Moves the NAMEs, in their order, to the end of argv and returns the index of the first (argc
// where there is none); returns 0 for an option it does not know, or -1 for the start of more
// than one, with *unknown pointing at it.
int ParseOptions(int argc, char **argv, bool permute, unsigned *options, const char **unknown);

// Hands the layer the command line that GetCommandLineW returns, the descriptor that stands
// for the standard error console, and the options of a run, which has failed in nothing yet.
void SetProcess(WCHAR *line, int consoleDescriptor, unsigned options);

// A temporary name of a single directory record for name, an 8.3 name, for a directory too
// full for a longer one: upper case, every character outside ASCII as '_'. The first
// (attempt 0) has '~' for its last character, so that it still says which name it stands for
// («FILE0.TXT» gives «FILE0.TX~», «PHOTOS» «PHOTO~»); where that one is taken, attempts 1 to
// 9 end the base name in "~1" to "~9" («FILE0~1.TXT»). Writes at most 13 bytes to out; false
// where name is no 8.3 name.
bool OneRecordName(const char *name, int attempt, char *out);

// --- Shared by the layer's own files.

// A path of 32,767 units takes at most three bytes a unit in UTF-8.
enum : DWORD { PathBytes = 3 * LineUnits };

// Sets the last error and returns FALSE, for the Win32 functions' failures.
BOOL Fail(DWORD error);

// The descriptor that stands for the console.
int ConsoleDescriptor(void);

// Hands the layer the NAMEs as the user typed them.
void SetNames(char **names, int count);

// Whether bytes spell one of the NAMEs exactly as it was typed.
bool TypedName(const char *bytes);

// The path the product built, as Linux bytes (PathBytes of room) naming the entries as they
// stand; false, with the last error set, when it has no such form.
bool LinuxPath(const WCHAR *path, char *bytes);

// The options the run was given.
unsigned Options(void);

// Remembers a failure that the product reported and went on from (a rename, a listing): the
// run then ends with the last such code where the product's status would be 0.
void NoteFailure(DWORD code);

// Writes all of the bytes to the descriptor; false, with the last error set, when it cannot.
bool WriteAll(int descriptor, const char *bytes, SIZE_T length);

// Writes "VERB 'FROM' -> 'TO'" and a newline on standard output, the paths spelled as the
// messages spell them, for the list of renames that -v and -n ask for. The first failure is
// reported on the console, and the run then ends with its code instead of 0.
void Record(const WCHAR *verb, const WCHAR *from, const WCHAR *to);

// Opens the directory that path names, at any depth, with open's flags (O_DIRECTORY and
// O_CLOEXEC added); -1 with errno as open sets it.
int OpenDirectory(const char *path, int flags);

// What FinishLeftover did with an entry.
enum { LeftoverNone, LeftoverMovedHere, LeftoverMovedUp };

// A run that was killed between the two steps of a rename leaves the entry under a temporary
// name: «SHORT.shortcase-renaming» in its own directory, «SHORT.shortcase-renaming-from-parent»
// in a subdirectory of it, each also with -2 to -9 appended. Given such a name (bytes, in the
// directory open as directory, whose path the product spells prefix), moves the entry to
// SHORT where SHORT is free, and lists it as a rename; a dry run only lists it. Where SHORT is
// taken, says so, and the entry waits for the user. Returns LeftoverMovedHere with name cut to
// SHORT, LeftoverMovedUp where it went to the parent, else LeftoverNone.
int FinishLeftover(int directory, const WCHAR *prefix, char *name);

// Whether an entry of the directory other than the one called name holds newName, as its long
// or its short name, without regard to case: 1 if so, 0 if not, -1 with the last error where
// the directory cannot be read. A FAT driver's lookup of newName finds only the first entry
// that holds it, which may be the one renamed.
int NameHeldByAnother(int directory, const char *name, const char *newName);

// Tells the layer that a dry run pretends to have renamed from to to (a case-only rename: two
// paths of the same length that LinuxPath takes). Paths inside it are then spelled with the
// name the entry still has, for as long as the walk stays inside it.
void PretendRenamed(const WCHAR *from, const WCHAR *to);

// --- A FAT image or unmounted device (-i IMAGE), in image.cpp.

// Opens IMAGE (FILE or FILE@@OFFSET) for the run, read-only for -n, and picks its FAT volume:
// partition (1-based, 0 for none) of its table, names decoded with the code page (437, 850).
// Refuses, with one line on standard error and its code, an image that is mounted, in use by
// another shortcase, without a FAT volume or with several and no partition picked, marked
// dirty, or that cannot be opened. Returns 0, or that code; nothing is written either way.
DWORD OpenImage(const char *image, unsigned partition, unsigned codePage);

// Whether the run treats an image; FindFirstFileW, FindNextFileW, FindClose and MoveFileW
// then hand over to the Image functions, which do the same over the image's volume.
bool ImageActive(void);
HANDLE ImageFindFirst(const WCHAR *pattern, WIN32_FIND_DATAW *find);
BOOL ImageFindNext(HANDLE find, WIN32_FIND_DATAW *data);
BOOL ImageFindClose(HANDLE find);
// Only from the long name of an entry an open listing has just given to its own short name,
// in the same directory (ERROR_NOT_SUPPORTED otherwise); -n and -v as MoveFileW.
BOOL ImageMove(const WCHAR *from, const WCHAR *to);

// Flushes what the run wrote to the image to the device; 0, or the code of the failure,
// which it has reported.
DWORD CloseImage(void);
