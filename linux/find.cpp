// Finding entries over Linux: FindFirstFileW and the listings it opens, with the short names
// that the FAT driver's VFAT_IOCTL_READDIR_BOTH gives, as Wine reads them.
#include "linux/linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
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

// An entry's names as NameHeldByAnother compares them: its name exactly, and its long and its
// short name with their case folded, each as a hash.
struct EntryNames {
    uint64_t exact, folded, shortFolded;
};

// One open listing. The last component of the pattern is matched against every entry's long
// and short name; without wildcards it finds one entry, typed in any case.
struct Listing {
    int directory;
    DIR *stream;        // plain readdir where the file system has no short names
    dev_t device;       // a directory on another device is a mount point
    ino_t inode;
    bool wildcards;
    bool entered;       // mount points it finds are entered: no wildcards, or the user's
    bool whole;         // "*": every entry, among them what a killed run left
    WCHAR *prefix;      // the pattern's directory part, as the product spells it
    Listing *outer;     // the listing that was open when this one was opened
    EntryNames *names;  // read once a rename in the directory asks
    size_t nameCount;
    DWORD patternLength;
    WCHAR pattern[MAX_PATH];
};

// The listings open now, the innermost first: the product opens a NAME's listing when none is
// open, and each listing of the walk below a NAME inside its parent's.
static Listing *innermost;

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
        if (listing->whole) {
            int left = FinishLeftover(listing->directory, listing->prefix, name);
            if (left == LeftoverMovedUp)
                continue;
            if (left == LeftoverMovedHere)
                shortName[0] = 0; // an 8.3 name in upper case, which needs no other
        }

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
            // `du -x` take the file system from their argument, and so is one that the NAME's
            // own wildcards match, as the shell's expansion of them would name it; one that the
            // walk meets below a NAME, or a directory's contents ("DIR/") hold, is not.
            if (status.st_dev != listing->device && !listing->entered)
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
    free(listing->names);
    free(listing->prefix);
    free(listing);
}

// Lists the directory that the pattern's directory part names, as Windows does: a missing
// directory is ERROR_PATH_NOT_FOUND, a pattern that matches nothing ERROR_FILE_NOT_FOUND.
static Listing *OpenListing(const WCHAR *pattern, WIN32_FIND_DATAW *find)
{
    static char bytes[PathBytes];
    if (!LinuxPath(pattern, bytes))
        return nullptr;
    bool typed = !innermost && TypedName(bytes);
    char *slash = strrchr(bytes, '/');
    const char *directory = slash == bytes ? "/" : slash ? bytes : ".";
    const char *last = slash ? slash + 1 : bytes;
    if (slash && slash != bytes)
        *slash = 0;

    Listing *listing = (Listing *)calloc(1, sizeof(Listing));
    if (!listing)
        return Fail(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    DWORD length = NameToUtf16(last, strlen(last), listing->pattern, MAX_PATH - 1);
    if (length >= MAX_PATH) {
        free(listing);
        return Fail(ERROR_FILE_NOT_FOUND), nullptr; // longer than any name
    }
    listing->patternLength = length;
    listing->wildcards = HasWildcards(listing->pattern, length);
    listing->entered = !listing->wildcards || typed;
    listing->whole = length == 1 && listing->pattern[0] == u'*';
    DWORD units = 0, prefixUnits = 0;
    for (; pattern[units]; ++units)
        if (pattern[units] == u'\\' || pattern[units] == u'/')
            prefixUnits = units + 1;
    listing->prefix = (WCHAR *)calloc(prefixUnits + 1, sizeof(WCHAR));
    listing->directory = listing->prefix ? OpenDirectory(directory, O_RDONLY) : -1;
    struct stat status;
    if (listing->directory < 0 || fstat(listing->directory, &status) != 0) {
        DWORD error = !listing->prefix ? ERROR_NOT_ENOUGH_MEMORY
                      : errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
        if (listing->directory >= 0)
            close(listing->directory);
        free(listing->prefix);
        free(listing);
        return Fail(error), nullptr;
    }
    memcpy(listing->prefix, pattern, prefixUnits * sizeof(WCHAR));
    listing->device = status.st_dev;
    listing->inode = status.st_ino;

    if (length == 0 || !NextMatch(listing, find)) {
        DWORD error = length == 0 || GetLastError() == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND
                                                                       : GetLastError();
        CloseListing(listing);
        return Fail(error), nullptr;
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

// Every failure the product reports counts for the exit status, and so does a NAME that
// matches nothing; a directory of the walk that lists no entry at all is merely empty.
HANDLE FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *find)
{
    if (ImageActive())
        return ImageFindFirst(pattern, find); // -i: the volume in the image
    Listing *listing = OpenListing(pattern, find);
    if (!listing) {
        if (!innermost || GetLastError() != ERROR_FILE_NOT_FOUND)
            NoteFailure(GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    listing->outer = innermost;
    innermost = listing;
    return listing;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW *data)
{
    if (ImageActive())
        return ImageFindNext(find, data);
    Listing *listing = (Listing *)find;
    if (!listing->wildcards)
        return Fail(ERROR_NO_MORE_FILES);
    if (NextMatch(listing, data))
        return TRUE;
    if (GetLastError() != ERROR_NO_MORE_FILES)
        NoteFailure(GetLastError());
    return FALSE;
}

BOOL FindClose(HANDLE find)
{
    if (ImageActive())
        return ImageFindClose(find);
    Listing **link = &innermost;
    while (*link && *link != find)
        link = &(*link)->outer;
    if (*link)
        *link = (*link)->outer;
    CloseListing((Listing *)find);
    return TRUE;
}

// A hash of the name's bytes, or of its UTF-16 form with every letter's case folded.
static uint64_t NameHash(const char *name, bool fold)
{
    uint64_t hash = 14695981039346656037u; // FNV-1a
    if (!fold) {
        for (const unsigned char *c = (const unsigned char *)name; *c; ++c)
            hash = (hash ^ *c) * 1099511628211u;
        return hash;
    }
    WCHAR text[MAX_PATH];
    DWORD length = NameToUtf16(name, strlen(name), text, MAX_PATH - 1);
    for (DWORD i = 0; i < length && i < MAX_PATH; ++i)
        hash = (hash ^ FoldCase(text[i])) * 1099511628211u;
    return hash;
}

// Reads the names of every entry of the directory, once.
static bool ReadNames(Listing *listing, int directory)
{
    Listing scan = {};
    scan.directory = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scan.directory < 0)
        return Fail(ErrorFromErrno(errno));
    char name[256], shortName[256];
    size_t room = 0;
    int read;
    while ((read = ReadEntry(&scan, name, shortName)) > 0) {
        if (listing->nameCount == room) {
            room = room ? 2 * room : 64;
            void *more = realloc(listing->names, room * sizeof(EntryNames));
            if (!more) {
                read = -1, errno = ENOMEM;
                break;
            }
            listing->names = (EntryNames *)more;
        }
        EntryNames &entry = listing->names[listing->nameCount++];
        entry.exact = NameHash(name, false);
        entry.folded = NameHash(name, true);
        entry.shortFolded = shortName[0] ? NameHash(shortName, true) : entry.folded;
    }
    int error = errno;
    if (scan.stream)
        closedir(scan.stream);
    close(scan.directory);
    if (read < 0) {
        free(listing->names);
        listing->names = nullptr, listing->nameCount = 0;
        return Fail(ErrorFromErrno(error));
    }
    return true;
}

// See linux.h. The names are read once for each open listing of the directory, so that a
// directory of many pairs is not read again for each of them.
int NameHeldByAnother(int directory, const char *name, const char *newName)
{
    struct stat status;
    if (fstat(directory, &status) != 0)
        return Fail(ErrorFromErrno(errno)), -1;
    Listing *listing = innermost, alone = {};
    while (listing && (listing->inode != status.st_ino || listing->device != status.st_dev))
        listing = listing->outer;
    if (!listing)
        listing = &alone;
    if (!listing->names && !ReadNames(listing, directory))
        return -1;
    uint64_t own = NameHash(name, false), wanted = NameHash(newName, true);
    int held = 0;
    for (size_t i = 0; i < listing->nameCount && !held; ++i) {
        const EntryNames &entry = listing->names[i];
        held = entry.exact != own && (entry.folded == wanted || entry.shortFolded == wanted);
    }
    free(alone.names);
    return held;
}
