// Finding entries over Linux: FindFirstFileW and the listings it opens, with the short names
// that the FAT driver's VFAT_IOCTL_READDIR_BOTH gives, as Wine reads them.
#include "linux/linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

// The FAT driver's directory record (<linux/msdos_fs.h>, which musl lacks): the ioctl fills
// two, the short name and the long one, which is empty when the name is itself 8.3.
struct FatDirent {
    long d_ino;
    long d_off;
    unsigned short d_reclen;
    char d_name[256];
};
#define VFAT_IOCTL_READDIR_BOTH _IOR('r', 1, struct FatDirent[2])

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

// FAT stores a short name in upper case; a mount may show it in lower case (shortname=lower),
// and the product must rename to the name stored, as Windows shows it. So ASCII letters in
// lower case, which no stored short name holds, are raised. Where such a name holds other
// characters too, their stored case is the disk's code page's to know: the entry then has no
// short name, rather than a wrong one. Returns the length left.
static DWORD StoredShortName(WCHAR *name, DWORD length)
{
    bool lowered = false, other = false;
    for (DWORD i = 0; i < length; ++i) {
        if (name[i] >= u'a' && name[i] <= u'z')
            name[i] -= u'a' - u'A', lowered = true;
        else if (name[i] >= 0x80)
            other = true;
    }
    if (lowered && other)
        name[0] = 0, length = 0;
    return length;
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
        shortLength = StoredShortName(entry.cAlternateFileName, shortLength);
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
            // A mount point that a NAME names is entered all the same, as `find -xdev` and
            // `du -x` take the file system from their argument: only a NAME lists without
            // wildcards, a walk lists "*".
            if (status.st_dev != listing->device && listing->wildcards)
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
    if (ImageActive())
        return ImageFindFirst(pattern, find); // -i: the volume in the image
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
    listing->directory = OpenDirectory(directory, O_RDONLY);
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
        DWORD error = length == 0 || GetLastError() == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND
                                                                       : GetLastError();
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
    if (ImageActive())
        return ImageFindNext(find, data);
    Listing *listing = (Listing *)find;
    if (!listing->wildcards)
        return Fail(ERROR_NO_MORE_FILES);
    return NextMatch(listing, data);
}

BOOL FindClose(HANDLE find)
{
    if (ImageActive())
        return ImageFindClose(find);
    CloseListing((Listing *)find);
    return TRUE;
}
