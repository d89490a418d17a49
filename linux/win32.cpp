// The Win32 subset of win32/win32.h over Linux: what the product asks of kernel32 and user32,
// given with the results it relies on, so that the unchanged product runs on Linux. Short
// names come from the FAT driver's VFAT_IOCTL_READDIR_BOTH, as Wine reads them.
#include "linux/linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The layer's state, which the product never sees: the thread's last error, the command line
// and the descriptor of the console.
static DWORD lastError;
static WCHAR *commandLine;
static int console = 2;

// The FAT driver's directory record (<linux/msdos_fs.h>, which musl lacks): the ioctl fills
// two, the short name and the long one, which is empty when the name is itself 8.3.
struct FatDirent {
    long d_ino;
    long d_off;
    unsigned short d_reclen;
    char d_name[256];
};
#define VFAT_IOCTL_READDIR_BOTH _IOR('r', 1, struct FatDirent[2])

// A path of 32,767 units takes at most three bytes a unit in UTF-8.
enum : DWORD { PathBytes = 3 * LineUnits };

void SetProcess(WCHAR *line, int consoleDescriptor)
{
    commandLine = line;
    console = consoleDescriptor;
}

static BOOL Fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

static DWORD Length(const WCHAR *text)
{
    DWORD length = 0;
    while (text[length])
        ++length;
    return length;
}

// The path the product built, as Linux bytes; false, with the last error set, when it has no
// such form.
static bool LinuxPath(const WCHAR *path, char *bytes)
{
    DWORD length = Length(path);
    if (length >= LineUnits)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (PathToBytes(path, length, bytes, PathBytes - 1) >= PathBytes)
        return Fail(123); // ERROR_INVALID_NAME: a surrogate that stands for no byte
    return true;
}

// --- Finding entries.

// One open listing. The last component of the pattern is matched against every entry's long
// and short name; without wildcards it finds one entry, typed in any case.
struct Listing {
    int directory;
    DIR *stream;        // plain readdir where the file system has no short names
    dev_t device;       // a directory on another device is a mount point
    bool wildcards;
    DWORD patternLength;
    WCHAR pattern[MAX_PATH];
};

// Whether two names are spelled exactly alike.
static bool SameName(const WCHAR *a, const WCHAR *b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

static bool HasWildcards(const WCHAR *text, DWORD length)
{
    for (DWORD i = 0; i < length; ++i)
        if (text[i] == u'*' || text[i] == u'?')
            return true;
    return false;
}

// Reads the next entry of the directory into its long and short name (bytes). Returns 1 for
// an entry, 0 at the end, -1 with errno on failure.
static int ReadEntry(Listing *listing, char *name, char *shortName)
{
    if (!listing->stream) {
        FatDirent both[2];
        int result = ioctl(listing->directory, VFAT_IOCTL_READDIR_BOTH, both);
        if (result > 0) {
            // An entry without a long name has no alternate name: its 8.3 name is its name.
            bool hasLong = both[1].d_name[0] != 0;
            memcpy(name, hasLong ? both[1].d_name : both[0].d_name, 256);
            name[255] = 0;
            memcpy(shortName, hasLong ? both[0].d_name : "", hasLong ? 256 : 1);
            shortName[255] = 0;
            return 1;
        }
        if (result == 0)
            return 0;
        // No short names on this file system: list it the ordinary way.
        if (errno != ENOTTY && errno != ENOSYS && errno != ENOTSUP && errno != EINVAL)
            return -1;
        int duplicate = dup(listing->directory);
        if (duplicate < 0 || !(listing->stream = fdopendir(duplicate))) {
            if (duplicate >= 0)
                close(duplicate);
            return -1;
        }
    }
    errno = 0;
    struct dirent *entry = readdir(listing->stream);
    if (!entry)
        return errno ? -1 : 0;
    strncpy(name, entry->d_name, 255);
    name[255] = 0;
    shortName[0] = 0;
    return 1;
}

// Fills find with the next entry that matches, or fails with the last error (18 at the end).
static BOOL NextMatch(Listing *listing, WIN32_FIND_DATAW *find)
{
    char name[256], shortName[256];
    for (;;) {
        int read = ReadEntry(listing, name, shortName);
        if (read <= 0)
            return Fail(read == 0 ? ERROR_NO_MORE_FILES : ErrorFromErrno(errno));

        WIN32_FIND_DATAW entry = {};
        DWORD length = NameToUtf16(name, strlen(name), entry.cFileName, MAX_PATH - 1);
        DWORD shortLength = NameToUtf16(shortName, strlen(shortName), entry.cAlternateFileName, 13);
        if (length >= MAX_PATH)
            continue; // no Linux name is that long
        if (shortLength >= 14)
            entry.cAlternateFileName[0] = 0, shortLength = 0;
        if (listing->wildcards
                ? !MatchesPattern(listing->pattern, listing->patternLength, entry.cFileName,
                                  length) &&
                      !(shortLength && MatchesPattern(listing->pattern, listing->patternLength,
                                                      entry.cAlternateFileName, shortLength))
                : lstrcmpiW(listing->pattern, entry.cFileName) != 0 &&
                      (!shortLength || lstrcmpiW(listing->pattern, entry.cAlternateFileName) != 0))
            continue;

        struct stat status;
        if (fstatat(listing->directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue; // gone since it was listed
            return Fail(ErrorFromErrno(errno));
        }
        // A symbolic link, and a directory on another file system than its parent (a mount
        // point), are what Windows calls reparse points: renamed, never entered.
        if (S_ISLNK(status.st_mode)) {
            entry.dwFileAttributes = FILE_ATTRIBUTE_REPARSE_POINT;
            struct stat target;
            if (fstatat(listing->directory, name, &target, 0) == 0 && S_ISDIR(target.st_mode))
                entry.dwFileAttributes |= FILE_ATTRIBUTE_DIRECTORY;
        } else if (S_ISDIR(status.st_mode)) {
            entry.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
            if (status.st_dev != listing->device)
                entry.dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        } else {
            entry.dwFileAttributes = 0x80; // FILE_ATTRIBUTE_NORMAL
        }
        *find = entry;
        return TRUE;
    }
}

static void CloseListing(Listing *listing)
{
    if (listing->stream)
        closedir(listing->stream);
    close(listing->directory);
    free(listing);
}

// Lists the directory that the pattern's directory part names, as Windows does: a missing
// directory is ERROR_PATH_NOT_FOUND, a pattern that matches nothing ERROR_FILE_NOT_FOUND.
HANDLE FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *find)
{
    static char bytes[PathBytes];
    if (!LinuxPath(pattern, bytes))
        return INVALID_HANDLE_VALUE;
    char *slash = strrchr(bytes, '/');
    const char *directory = slash == bytes ? "/" : slash ? bytes : ".";
    const char *last = slash ? slash + 1 : bytes;
    if (slash && slash != bytes)
        *slash = 0;

    Listing *listing = (Listing *)calloc(1, sizeof(Listing));
    if (!listing)
        return Fail(ERROR_NOT_ENOUGH_MEMORY), INVALID_HANDLE_VALUE;
    DWORD length = NameToUtf16(last, strlen(last), listing->pattern, MAX_PATH - 1);
    if (length >= MAX_PATH) {
        free(listing);
        return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE; // longer than any name
    }
    listing->patternLength = length;
    listing->wildcards = HasWildcards(listing->pattern, length);
    listing->directory = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status;
    if (listing->directory < 0 || fstat(listing->directory, &status) != 0) {
        DWORD error = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
        if (listing->directory >= 0)
            close(listing->directory);
        free(listing);
        return Fail(error), INVALID_HANDLE_VALUE;
    }
    listing->device = status.st_dev;

    if (length == 0 || !NextMatch(listing, find)) {
        DWORD error = length == 0 || lastError == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND
                                                                       : lastError;
        CloseListing(listing);
        return Fail(error), INVALID_HANDLE_VALUE;
    }
    // A name without wildcards names one entry: the one spelled exactly as typed where a
    // case-sensitive directory holds several spellings, else the first found, as on Windows.
    if (!listing->wildcards) {
        WIN32_FIND_DATAW other;
        bool exact = SameName(find->cFileName, listing->pattern);
        while (!exact && NextMatch(listing, &other)) {
            if ((exact = SameName(other.cFileName, listing->pattern)))
                *find = other;
        }
    }
    return listing;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW *data)
{
    Listing *listing = (Listing *)find;
    if (!listing->wildcards)
        return Fail(ERROR_NO_MORE_FILES);
    return NextMatch(listing, data);
}

BOOL FindClose(HANDLE find)
{
    CloseListing((Listing *)find);
    return TRUE;
}

// --- Renaming.

// Renames without ever replacing an entry; on failure the last error is set from errno.
static bool RenameNoReplace(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    if (syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, 1 /* RENAME_NOREPLACE */) == 0)
        return true;
    lastError = ErrorFromErrno(errno);
    return false;
}

// Opens the directory part of path, and points *name at the name after it.
static int OpenParent(char *path, const char **name)
{
    char *slash = strrchr(path, '/');
    *name = slash ? slash + 1 : path;
    if (slash == path)
        return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slash)
        *slash = 0;
    int directory = open(slash ? path : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slash)
        *slash = '/';
    if (directory < 0)
        lastError = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    return directory;
}

// A FAT driver keeps a name that differs from an entry's only in case on that entry, and
// renaming to it changes nothing; so the entry goes through a temporary name in the same
// directory, which says what it is to whoever finds it after the process was killed between
// the two steps: «README.TXT.shortcase-renaming». Neither step replaces anything. When the
// second fails, the first is undone; when even that fails, the user is told where the entry
// is. Every step goes through descriptors of the directories, so that another process that
// moves a directory meanwhile cannot part an entry from its temporary name.
BOOL MoveFileW(const WCHAR *from, const WCHAR *to)
{
    static char source[PathBytes], target[PathBytes], temporary[PathBytes + 32];
    if (!LinuxPath(from, source) || !LinuxPath(to, target))
        return FALSE;
    const char *oldName, *newName, *temporaryName;
    int oldDirectory = OpenParent(source, &oldName);
    if (oldDirectory < 0)
        return FALSE;
    int newDirectory = OpenParent(target, &newName);
    BOOL moved = newDirectory >= 0;
    // Where the new name already names another entry, the second step would fail and the
    // undo with it, since the old name, typed in any case, finds that entry too.
    struct stat old, taken;
    if (moved && fstatat(oldDirectory, oldName, &old, AT_SYMLINK_NOFOLLOW) != 0)
        moved = Fail(ErrorFromErrno(errno));
    if (moved && fstatat(newDirectory, newName, &taken, AT_SYMLINK_NOFOLLOW) == 0 &&
        (taken.st_ino != old.st_ino || taken.st_dev != old.st_dev))
        moved = Fail(ERROR_ALREADY_EXISTS);

    static const char suffix[] = ".shortcase-renaming";
    size_t length = strlen(target);
    memcpy(temporary, target, length);
    memcpy(temporary + length, suffix, sizeof suffix);
    temporaryName = temporary + (newName - target);
    // A temporary name left by an earlier run that was killed: take the next free one.
    for (int attempt = 2; moved && !RenameNoReplace(oldDirectory, oldName, newDirectory,
                                                    temporaryName); ++attempt) {
        if (lastError != ERROR_ALREADY_EXISTS || attempt > 9)
            moved = FALSE;
        snprintf(temporary + length, 32, "%s-%d", suffix, attempt);
    }
    if (moved && !RenameNoReplace(newDirectory, temporaryName, newDirectory, newName)) {
        DWORD error = lastError;
        if (!RenameNoReplace(newDirectory, temporaryName, oldDirectory, oldName))
            dprintf(console, "'%s' is now named '%s': renaming it back failed with error %u\n",
                    source, temporary, (unsigned)lastError);
        moved = Fail(error);
    }
    if (newDirectory >= 0)
        close(newDirectory);
    close(oldDirectory);
    return moved;
}

// --- Process, memory and console.

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

void ExitProcess(UINT code)
{
    exit(ExitStatus(code));
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

// Writes the text as UTF-8 to the descriptor, also a file or a pipe: on Linux `2>log` is
// how a user keeps the messages. Paths are shown with '/', as Linux spells them.
BOOL WriteConsoleW(HANDLE handle, const void *text, DWORD units, DWORD *written, void *)
{
    static char bytes[PathBytes];
    if (handle != &console)
        return Fail(ERROR_INVALID_HANDLE);
    const WCHAR *units16 = (const WCHAR *)text;
    DWORD length = 0;
    for (DWORD i = 0; i < units && length + 4 < PathBytes; ++i) {
        // A lone surrogate that stands for no byte would not encode: show U+FFFD for it.
        WCHAR unit = units16[i];
        bool paired = unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units &&
                      units16[i + 1] >= 0xDC00 && units16[i + 1] <= 0xDFFF;
        DWORD count = PathToBytes(units16 + i, paired ? 2 : 1, bytes + length, 4);
        if (count > 4) {
            static const WCHAR replacement = 0xFFFD;
            count = PathToBytes(&replacement, 1, bytes + length, 4);
        }
        length += count;
        i += paired;
    }
    for (DWORD done = 0; done < length;) {
        ssize_t wrote = write(console, bytes + done, length - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return Fail(wrote < 0 ? ErrorFromErrno(errno) : ERROR_INVALID_HANDLE);
        done += (DWORD)wrote;
    }
    *written = units;
    return TRUE;
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
