// FAT images and unmounted devices (-i IMAGE): opens the IMAGE, refusing what is mounted,
// held, dirty or no FAT, picks its volume, and gives the product its listings and renames
// over fat/ instead of over a mounted file system.
#include "linux/linux.h"

#include "fat/fat.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The image as fat/ reads and writes it.
struct FatDevice {
    int descriptor;
};

DWORD FatRead(FatDevice *device, uint64_t offset, void *bytes, uint32_t length)
{
    for (uint32_t done = 0; done < length;) {
        ssize_t got = pread(device->descriptor, (char *)bytes + done, length - done,
                            (off_t)(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0 ? ERROR_HANDLE_EOF : ErrorFromErrno(errno);
        done += (uint32_t)got;
    }
    return 0;
}

DWORD FatWrite(FatDevice *device, uint64_t offset, const void *bytes, uint32_t length)
{
    for (uint32_t done = 0; done < length;) {
        ssize_t put = pwrite(device->descriptor, (const char *)bytes + done, length - done,
                             (off_t)(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put == 0 ? ERROR_HANDLE_EOF : ErrorFromErrno(errno);
        done += (uint32_t)put;
    }
    return 0;
}

DWORD FatFlush(FatDevice *device)
{
    return fdatasync(device->descriptor) == 0 ? 0 : ErrorFromErrno(errno);
}

// One open listing of a directory in the image. prefix is the pattern up to and with its
// last separator, as the product spelled it; current the entry last given, which a listing
// of the directory below and MoveFileW take from here instead of reading the path again.
struct ImageListing {
    ImageListing *outer;    // the listing opened before this one and still open
    FatCursor cursor;
    FatEntry current;
    bool hasCurrent;
    bool wildcards;
    uint8_t dots;           // "." and ".." still to give
    DWORD prefixLength;
    WCHAR *prefix;
    DWORD patternLength;
    WCHAR pattern[MAX_PATH];
};

// The layer's state for an image: the device, its volume, whether anything was written, the
// open listings (innermost first), and the name the user gave.
static FatDevice device = {-1};
static FatVolume volume;
static bool written;
static ImageListing *innermost;
static const char *imageName;

// The directories that the present NAME has listed, a bit for each by its first cluster (the
// fixed root's is 0), and the list of those set, to clear them for the next NAME. A volume
// whose directories link into each other would otherwise be walked twice, or for ever.
static uint8_t *listed;
static uint32_t *marked;
static size_t markedCount, markedRoom;

// Marks the directory as listed by this NAME: ERROR_FILE_CORRUPT where it was already.
static DWORD MarkListed(uint32_t first)
{
    uint8_t bit = (uint8_t)(1u << (first % 8));
    if (listed[first / 8] & bit)
        return ERROR_FILE_CORRUPT;
    if (markedCount == markedRoom) {
        size_t room = markedRoom ? 2 * markedRoom : 256;
        uint32_t *more = (uint32_t *)realloc(marked, room * sizeof *marked);
        if (!more)
            return ERROR_NOT_ENOUGH_MEMORY;
        marked = more, markedRoom = room;
    }
    listed[first / 8] |= bit;
    marked[markedCount++] = first;
    return 0;
}

bool ImageActive(void)
{
    return device.descriptor >= 0;
}

static bool IsSeparator(WCHAR unit)
{
    return unit == u'\\' || unit == u'/';
}

// Whether two names are equal without regard to case, as FAT compares them.
static bool SameFolded(const WCHAR *a, DWORD length, const WCHAR *b)
{
    DWORD i = 0;
    for (; i < length && b[i]; ++i)
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    return i == length && !b[i];
}

static bool IsDirectory(const FatEntry *entry)
{
    return entry->attributes & FILE_ATTRIBUTE_DIRECTORY;
}

static bool IsDot(const WCHAR *name)
{
    return name[0] == u'.' && (!name[1] || (name[1] == u'.' && !name[2]));
}

// Whether the entry is what the name (length units) names: its long or its short name.
static bool Names(const FatEntry *entry, const WCHAR *name, DWORD length)
{
    return SameFolded(name, length, entry->name) ||
           (entry->shortName[0] && SameFolded(name, length, entry->shortName));
}

// Finds the directory that the first length units of path name, from the root, as Windows
// resolves a path: "." and ".." by the spelling, each name in any case. *root is set for the
// root itself. Fails with ERROR_PATH_NOT_FOUND where a name is missing or no directory, or
// with the error that reading a directory gave.
static DWORD Resolve(const WCHAR *path, DWORD length, FatEntry *directory, bool *root)
{
    // The names that remain once "." and ".." are taken away: start and length of each.
    static DWORD starts[LineUnits / 2], lengths[LineUnits / 2];
    DWORD names = 0;
    for (DWORD at = 0; at < length;) {
        DWORD end = at;
        while (end < length && !IsSeparator(path[end]))
            ++end;
        DWORD size = end - at;
        bool dot = size == 1 && path[at] == u'.';
        bool dots = size == 2 && path[at] == u'.' && path[at + 1] == u'.';
        if (dots && names)
            --names;
        else if (size && !dot && !dots)
            starts[names] = at, lengths[names++] = size;
        at = end + 1;
    }
    uint8_t *block = (uint8_t *)malloc(volume.clusterBytes);
    if (!block)
        return ERROR_NOT_ENOUGH_MEMORY;
    *root = true;
    DWORD error = 0;
    for (DWORD n = 0; n < names && !error; ++n) {
        FatCursor cursor;
        FatEntry entry;
        error = FatOpenDirectory(&volume, *root ? nullptr : directory, block, &cursor);
        while (!error && !(error = FatNextEntry(&volume, &cursor, &entry)))
            if (IsDirectory(&entry) && !IsDot(entry.name) &&
                Names(&entry, path + starts[n], lengths[n]))
                break;
        if (error == ERROR_NO_MORE_FILES)
            error = ERROR_PATH_NOT_FOUND;
        *directory = entry;
        *root = false;
    }
    free(block);
    return error;
}

// Fills find with the next entry of the listing that its pattern matches: first the dot
// entries, which the image's directories hold or (the root) not, as a mounted volume lists
// them; then the records. Fails with the last error 18 at the end, or the listing's error.
static BOOL NextMatch(ImageListing *listing, WIN32_FIND_DATAW *find)
{
    // Each entry is read into current, where a listing below and MoveFileW find it: a record is
    // some 600 bytes, and a walk reads every one.
    FatEntry *entry = &listing->current;
    listing->hasCurrent = false;
    for (;;) {
        if (listing->dots) {
            entry->name[0] = entry->name[1] = u'.';
            entry->name[--listing->dots ? 2 : 1] = 0;
            entry->shortName[0] = 0;
            entry->attributes = FILE_ATTRIBUTE_DIRECTORY;
            entry->size = 0;
        } else {
            DWORD error = FatNextEntry(&volume, &listing->cursor, entry);
            if (error)
                return Fail(error);
            if (IsDot(entry->name))
                continue;
        }
        DWORD length = 0, shortLength = 0;
        while (entry->name[length])
            ++length;
        while (entry->shortName[shortLength])
            ++shortLength;
        bool matches = listing->wildcards
            ? MatchesPattern(listing->pattern, listing->patternLength, entry->name, length) ||
                  (shortLength && MatchesPattern(listing->pattern, listing->patternLength,
                                                 entry->shortName, shortLength))
            : Names(entry, listing->pattern, listing->patternLength);
        if (!matches)
            continue;
        // Read-only, hidden, system, directory, archive: the bits Windows shows of FAT's.
        find->dwFileAttributes = entry->attributes & 0x37 ? entry->attributes & 0x37 : 0x80;
        find->ftCreationTime = find->ftLastAccessTime = find->ftLastWriteTime = FILETIME{};
        find->nFileSizeHigh = find->dwReserved0 = find->dwReserved1 = 0;
        find->nFileSizeLow = entry->size;
        memcpy(find->cFileName, entry->name, (length + 1) * sizeof(WCHAR));
        memcpy(find->cAlternateFileName, entry->shortName, (shortLength + 1) * sizeof(WCHAR));
        listing->hasCurrent = !IsDot(entry->name);
        return TRUE;
    }
}

BOOL ImageFindClose(HANDLE find)
{
    ImageListing *listing = (ImageListing *)find;
    for (ImageListing **link = &innermost; *link; link = &(*link)->outer)
        if (*link == listing) {
            *link = listing->outer;
            break;
        }
    free(listing->cursor.block);
    free(listing->prefix);
    free(listing);
    return TRUE;
}

// The directory the pattern's prefix names, taken from the innermost listing where its
// current entry is that directory (the walk asks for DIR\SUB\* while DIR's listing stands on
// SUB), else resolved from the root.
static DWORD FindDirectory(const WCHAR *pattern, DWORD prefixLength, FatEntry *directory,
                           bool *root)
{
    const ImageListing *outer = innermost;
    if (outer && outer->hasCurrent && IsDirectory(&outer->current) &&
        prefixLength > outer->prefixLength + 1 && IsSeparator(pattern[prefixLength - 1]) &&
        memcmp(pattern, outer->prefix, outer->prefixLength * sizeof(WCHAR)) == 0 &&
        Names(&outer->current, pattern + outer->prefixLength,
              prefixLength - 1 - outer->prefixLength)) {
        *directory = outer->current;
        *root = false;
        return 0;
    }
    return Resolve(pattern, prefixLength, directory, root);
}

// Fails FindFirstFileW with error, which counts for the exit status as on a mounted volume:
// always for a NAME, and for a directory of the walk unless it merely lists nothing.
static HANDLE FailFind(DWORD error)
{
    if (!innermost || error != ERROR_FILE_NOT_FOUND)
        NoteFailure(error);
    return Fail(error), INVALID_HANDLE_VALUE;
}

HANDLE ImageFindFirst(const WCHAR *pattern, WIN32_FIND_DATAW *find)
{
    DWORD length = 0, prefixLength = 0;
    for (; pattern[length]; ++length)
        if (IsSeparator(pattern[length]))
            prefixLength = length + 1;
    DWORD patternLength = length - prefixLength;
    if (patternLength == 0 || patternLength >= MAX_PATH) // longer than any FAT name
        return FailFind(ERROR_FILE_NOT_FOUND);

    FatEntry directory;
    bool root;
    DWORD error = FindDirectory(pattern, prefixLength, &directory, &root);
    if (error)
        return FailFind(error);
    ImageListing *listing = (ImageListing *)calloc(1, sizeof(ImageListing));
    uint8_t *block = (uint8_t *)malloc(volume.clusterBytes);
    WCHAR *prefix = (WCHAR *)malloc((prefixLength + 1) * sizeof(WCHAR));
    if (!listing || !block || !prefix) {
        free(listing), free(block), free(prefix);
        return FailFind(ERROR_NOT_ENOUGH_MEMORY);
    }
    memcpy(prefix, pattern, prefixLength * sizeof(WCHAR));
    listing->prefix = prefix;
    listing->prefixLength = prefixLength;
    memcpy(listing->pattern, pattern + prefixLength, (patternLength + 1) * sizeof(WCHAR));
    listing->patternLength = patternLength;
    listing->wildcards = HasWildcards(listing->pattern, patternLength);
    listing->dots = 2;
    error = FatOpenDirectory(&volume, root ? nullptr : &directory, block, &listing->cursor);
    listing->cursor.block = block;
    if (!innermost) // a new NAME
        while (markedCount)
            listed[marked[--markedCount] / 8] = 0;
    if (!error)
        error = MarkListed(listing->cursor.first);
    listing->outer = innermost;
    innermost = listing;
    if (!error && !NextMatch(listing, find))
        error = GetLastError() == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : GetLastError();
    if (error) {
        ImageFindClose(listing);
        return FailFind(error);
    }
    return listing;
}

BOOL ImageFindNext(HANDLE find, WIN32_FIND_DATAW *data)
{
    ImageListing *listing = (ImageListing *)find;
    if (!listing->wildcards)
        return Fail(ERROR_NO_MORE_FILES);
    if (NextMatch(listing, data))
        return TRUE;
    if (GetLastError() != ERROR_NO_MORE_FILES)
        NoteFailure(GetLastError()); // a damaged directory: the run does not end with 0
    return FALSE;
}

// Whether two texts are spelled exactly alike.
BOOL ImageMove(const WCHAR *from, const WCHAR *to)
{
    DWORD prefixLength = 0, toPrefix = 0;
    for (DWORD i = 0; from[i]; ++i)
        if (IsSeparator(from[i]))
            prefixLength = i + 1;
    for (DWORD i = 0; to[i]; ++i)
        if (IsSeparator(to[i]))
            toPrefix = i + 1;
    if (toPrefix != prefixLength || memcmp(from, to, prefixLength * sizeof(WCHAR)) != 0)
        return Fail(ERROR_NOT_SUPPORTED);
    // The product renames the entry a listing has just given.
    ImageListing *listing = innermost;
    while (listing && !(listing->hasCurrent && listing->prefixLength == prefixLength &&
                        memcmp(listing->prefix, from, prefixLength * sizeof(WCHAR)) == 0 &&
                        SameName(listing->current.name, from + prefixLength)))
        listing = listing->outer;
    if (!listing)
        return Fail(ERROR_FILE_NOT_FOUND);
    FatEntry *entry = &listing->current;
    // In place, an entry can only take the spelling of its own short name.
    DWORD length = 0;
    while (entry->name[length])
        ++length;
    if (entry->longRecords != 1 || !SameName(to + prefixLength, entry->shortName) ||
        !SameFolded(entry->name, length, entry->shortName))
        return Fail(ERROR_NOT_SUPPORTED);
    if (Options() & OptionDryRun) {
        Record(u"would rename", from, to);
        return TRUE;
    }
    DWORD error = FatRename(&volume, &listing->cursor, entry);
    written = true; // even a failed rename may have written its first sector
    if (error)
        return Fail(error);
    memcpy(entry->name, entry->shortName, sizeof entry->shortName);
    entry->shortName[0] = 0;
    entry->longRecords = 0;
    if (Options() & OptionVerbose)
        Record(u"renamed", from, to);
    return TRUE;
}

// Reads up to size - 1 bytes of a small system file into text; false where it cannot.
static bool ReadSmall(const char *path, char *text, size_t size)
{
    int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    ssize_t got = read(file, text, size - 1);
    close(file);
    if (got < 0)
        return false;
    text[got] = 0;
    return true;
}

// Whether a line of mountinfo ("ID PARENT MAJOR:MINOR ...") mounts the device whose number
// the sysfs file dev ("MAJOR:MINOR") gives.
static bool MountedFrom(const char *mounts, const char *dev)
{
    char number[64], field[80];
    if (!ReadSmall(dev, number, sizeof number))
        return false;
    number[strcspn(number, "\n")] = 0;
    snprintf(field, sizeof field, " %s ", number);
    for (const char *line = mounts; *line;) {
        const char *space = strchr(line, ' ');
        space = space ? strchr(space + 1, ' ') : nullptr;
        if (space && strncmp(space, field, strlen(field)) == 0)
            return true;
        const char *end = strchr(line, '\n');
        if (!end)
            break;
        line = end + 1;
    }
    return false;
}

// Whether a file system in this mount namespace is mounted from a loop device that the image
// backs, or from a partition of one: the kernel would be writing the same bytes. The backing
// file is compared by device and inode, never by path.
static bool MountedThroughLoop(const struct stat *image)
{
    static char mounts[1 << 20];
    if (!ReadSmall("/proc/self/mountinfo", mounts, sizeof mounts))
        return false;
    DIR *block = opendir("/sys/block");
    bool mounted = false;
    for (struct dirent *loop; block && !mounted && (loop = readdir(block));) {
        char path[600], backing[4096];
        struct stat status;
        snprintf(path, sizeof path, "/sys/block/%s/loop/backing_file", loop->d_name);
        if (strncmp(loop->d_name, "loop", 4) != 0 || !ReadSmall(path, backing, sizeof backing))
            continue;
        backing[strcspn(backing, "\n")] = 0;
        if (stat(backing, &status) != 0 || status.st_dev != image->st_dev ||
            status.st_ino != image->st_ino)
            continue;
        // The loop device itself, and its partitions (loop0p1 ...), each with a "dev" file.
        snprintf(path, sizeof path, "/sys/block/%s", loop->d_name);
        DIR *parts = opendir(path);
        for (struct dirent *part; parts && !mounted && (part = readdir(parts));) {
            if (strncmp(part->d_name, loop->d_name, strlen(loop->d_name)) != 0)
                continue;
            snprintf(path, sizeof path, "/sys/block/%s/%s/dev", loop->d_name, part->d_name);
            mounted = MountedFrom(mounts, path);
        }
        if (parts)
            closedir(parts);
        snprintf(path, sizeof path, "/sys/block/%s/dev", loop->d_name);
        mounted = mounted || MountedFrom(mounts, path);
    }
    if (block)
        closedir(block);
    return mounted;
}

// Splits mtools' FILE@@OFFSET: the offset in bytes, or with the suffix S (512-byte sectors),
// K or M. False where the argument has no such ending; else *length is the file name's.
static bool ParseOffset(const char *argument, size_t *length, uint64_t *offset)
{
    const char *at = nullptr;
    for (const char *find = strstr(argument, "@@"); find; find = strstr(find + 1, "@@"))
        at = find;
    if (!at)
        return false;
    uint64_t value = 0;
    const char *c = at + 2;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (value > (UINT64_MAX - 9) / 10)
            return false;
        value = value * 10 + (uint64_t)(*c - '0');
    }
    uint64_t unit = *c == 'S' || *c == 's' ? 512 : *c == 'K' || *c == 'k' ? 1024
                  : *c == 'M' || *c == 'm' ? 1024 * 1024 : 1;
    if (c == at + 2 || c[unit > 1] || value > UINT64_MAX / unit)
        return false;
    *length = (size_t)(at - argument);
    *offset = value * unit;
    return true;
}

static const char *KindName(FatKind kind)
{
    return kind == FatExfat ? "exFAT, which has no short names"
         : kind == FatNtfs ? "NTFS"
         : kind == FatTable ? "a partition table without a FAT partition"
         : kind == FatDamaged ? "a FAT boot sector whose fields are out of range"
         : "neither a FAT boot sector nor a partition table";
}

// Refuses the run with one line on standard error; returns the code the run ends with.
__attribute__((format(printf, 2, 3)))
static DWORD Refuse(DWORD code, const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    dprintf(2, "shortcase: %s\n", line);
    return code;
}

// Finds where the volume to treat starts: at the offset given; else at the image's start, or
// in the one FAT partition of its table, or in the one --partition picks. Returns 0, or the
// code of the refusal it has given.
static DWORD PickVolume(bool hasOffset, uint64_t offset, unsigned partition, uint64_t *start)
{
    FatKind kind;
    DWORD error = FatIdentify(&device, offset, &kind);
    if (error)
        return Refuse(error, "'%s' cannot be read (error %u)", imageName, (unsigned)error);
    if (partition && (hasOffset || kind != FatTable))
        return Refuse(ERROR_BAD_ARGUMENTS, "'%s' has no partition table for --partition",
                      imageName);
    *start = offset;
    if (kind != FatTable || hasOffset)
        return kind == FatFat ? 0 : Refuse(ERROR_UNRECOGNIZED_VOLUME,
                                           "'%s' holds no FAT volume: found %s", imageName,
                                           KindName(kind));
    static FatPartition parts[FatMaxPartitions];
    uint32_t count, fats = 0;
    if ((error = FatListPartitions(&device, parts, &count)) != 0)
        return Refuse(error, "'%s' has a partition table that cannot be read (error %u)",
                      imageName, (unsigned)error);
    const FatPartition *chosen = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        if (partition ? parts[i].number == partition : parts[i].kind == FatFat)
            chosen = &parts[i], ++fats;
    }
    if (partition && !chosen)
        return Refuse(ERROR_BAD_ARGUMENTS, "'%s' has no partition %u", imageName, partition);
    if (partition && chosen->kind != FatFat)
        return Refuse(ERROR_UNRECOGNIZED_VOLUME, "partition %u of '%s' holds no FAT volume: "
                      "found %s", partition, imageName, KindName(chosen->kind));
    if (fats == 0)
        return Refuse(ERROR_UNRECOGNIZED_VOLUME, "'%s' holds no FAT volume: found %s",
                      imageName, KindName(FatTable));
    if (fats > 1) {
        Refuse(ERROR_BAD_ARGUMENTS, "'%s' holds %u FAT volumes: pick one with --partition",
               imageName, fats);
        for (uint32_t i = 0; i < count; ++i)
            if (parts[i].kind == FatFat)
                Refuse(0, "  --partition=%u: %llu MiB at byte %llu", parts[i].number,
                       (unsigned long long)(parts[i].bytes >> 20),
                       (unsigned long long)parts[i].offset);
        return ERROR_BAD_ARGUMENTS;
    }
    *start = chosen->offset;
    return 0;
}

DWORD OpenImage(const char *argument, unsigned partition, unsigned codePage)
{
    static char path[PathBytes];
    bool dryRun = Options() & OptionDryRun;
    size_t length = strlen(argument);
    uint64_t offset = 0;
    bool hasOffset = ParseOffset(argument, &length, &offset);
    if (length >= sizeof path)
        length = sizeof path - 1;
    memcpy(path, argument, length);
    path[length] = 0;
    imageName = argument;

    // A block device opened with O_EXCL fails while it, or a partition of it, is mounted.
    struct stat status;
    int flags = (dryRun ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    bool found = stat(path, &status) == 0;
    if (found && S_ISBLK(status.st_mode))
        flags |= O_EXCL;
    // Checked before the open too, which would wait for ever on a FIFO.
    if (found && !S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode))
        return Refuse(ERROR_INVALID_PARAMETER, "'%s' is neither a file nor a block device",
                      imageName);
    int descriptor = open(path, flags);
    if (descriptor < 0) {
        DWORD error = ErrorFromErrno(errno);
        if (errno == EBUSY)
            return Refuse(170, "'%s' is mounted or in use: unmount it first", imageName);
        if (!dryRun && (errno == EACCES || errno == EPERM || errno == EROFS))
            return Refuse(error, "'%s' cannot be opened for writing (error %u); -n lists the "
                          "renames without writing", imageName, (unsigned)error);
        return Refuse(error, "'%s' cannot be opened (error %u)", imageName, (unsigned)error);
    }
    device.descriptor = descriptor;
    DWORD error = 0;
    if (fstat(descriptor, &status) != 0 || (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)))
        error = Refuse(ERROR_INVALID_PARAMETER, "'%s' is neither a file nor a block device",
                       imageName);
    // Another shortcase on the same image: a dry run may read beside another, never beside a
    // run that writes.
    else if (flock(descriptor, (dryRun ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0)
        error = Refuse(33, "'%s' is in use by another shortcase", imageName);
    else if (S_ISREG(status.st_mode) && MountedThroughLoop(&status))
        error = Refuse(170, "'%s' is mounted through a loop device: unmount it first", imageName);
    uint64_t start = 0;
    if (!error)
        error = PickVolume(hasOffset, offset, partition, &start);
    if (!error && (error = FatMount(&device, start, (uint16_t)codePage, &volume)) != 0)
        error = Refuse(error, "'%s': the FAT volume cannot be read (error %u)", imageName,
                       (unsigned)error);
    if (!error && !(listed = (uint8_t *)calloc(volume.clusters / 8 + 2, 1)))
        error = Refuse(ERROR_NOT_ENOUGH_MEMORY, "out of memory");
    if (!error && volume.dirty)
        error = Refuse(ERROR_FILE_CORRUPT, "the FAT volume in '%s' is marked dirty (not "
                       "cleanly unmounted): run fsck.fat on it first", imageName);
    if (error) {
        close(descriptor);
        device.descriptor = -1;
    }
    return error;
}

DWORD CloseImage(void)
{
    if (!ImageActive() || !written)
        return 0;
    written = false;
    if (fdatasync(device.descriptor) == 0)
        return 0;
    DWORD error = ErrorFromErrno(errno);
    dprintf(2, "shortcase: writing the renames to '%s' failed with error %u\n", imageName,
            (unsigned)error);
    return error;
}
