// Renaming over Linux: MoveFileW in two steps through a temporary name, since a FAT driver
// takes a case-only rename for no rename at all.
#include "linux/linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Room for a temporary's path: the target's, a subdirectory's name (255 bytes at most) and a
// suffix.
enum : size_t { TemporaryBytes = PathBytes + 512 };

// Renames without ever replacing an entry; on failure the last error is set from errno.
static bool RenameNoReplace(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    if (syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, 1 /* RENAME_NOREPLACE */) == 0)
        return true;
    SetLastError(ErrorFromErrno(errno));
    return false;
}

// Moves the entry to toDirectory under name, the last component of temporary, or where a run
// that was killed left that name, under the same name with -2 ... -9 appended (temporary
// follows). False with the last error of the last try.
static bool MoveToTemporary(int oldDirectory, const char *oldName, int toDirectory,
                            char *temporary, const char *name)
{
    size_t length = strlen(temporary);
    for (int attempt = 2; !RenameNoReplace(oldDirectory, oldName, toDirectory, name); ++attempt) {
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt > 9)
            return false;
        snprintf(temporary + length, 32, "-%d", attempt);
    }
    return true;
}

// See linux.h; a name of one record is an upper-case 8.3 name in ASCII.
bool OneRecordName(const char *name, int attempt, char *out)
{
    char base[8], extension[3];
    size_t baseLength = 0, extensionLength = 0;
    bool dot = false;
    for (const unsigned char *c = (const unsigned char *)name; *c; ++c) {
        if ((*c & 0xC0) == 0x80)
            continue; // the rest of a character outside ASCII, which gave one '_'
        if (*c == '.' && dot)
            return false;
        if (*c == '.') {
            dot = true;
            continue;
        }
        if (dot ? extensionLength == 3 : baseLength == 8)
            return false;
        char unit = *c >= 0x80 ? '_' : *c >= 'a' && *c <= 'z' ? (char)(*c - 32) : (char)*c;
        (dot ? extension[extensionLength++] : base[baseLength++]) = unit;
    }
    if (!baseLength || (dot && !extensionLength))
        return false;
    if (attempt == 0) {
        (dot ? extension[extensionLength - 1] : base[baseLength - 1]) = '~';
    } else {
        baseLength = baseLength < 6 ? baseLength : 6;
        base[baseLength++] = '~';
        base[baseLength++] = (char)('0' + attempt);
    }
    snprintf(out, 13, "%.*s%s%.*s", (int)baseLength, base, dot ? "." : "", (int)extensionLength,
             extension);
    return true;
}

// The first step where the directory has no room for the temporary name (ENOSPC): the root
// directory of FAT12 and FAT16 has a fixed number of records, and a long name takes several.
// Tries, in order: each subdirectory of newDirectory (which can grow) that is not a link and
// not hidden, under «SHORT.shortcase-renaming-from-parent», which tells whoever finds it there
// after a kill where it belongs; then, in newDirectory, the name of one record that
// OneRecordName gives. temporary holds newDirectory's path in its first directoryLength
// bytes. Returns the descriptor of the directory that holds the entry now (newDirectory, or a
// subdirectory's, which the caller closes), with temporary holding the entry's path and *name
// its last component; or -1 with the last error, having said once what the user can do where
// not a record is free (112).
static int MoveWithoutRoom(int oldDirectory, const char *oldName, int newDirectory,
                           const char *newName, char *temporary, size_t directoryLength,
                           const char **name)
{
    char *end = temporary + directoryLength;
    int reading = openat(newDirectory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = fdopendir(reading);
    if (!listing && reading >= 0)
        close(reading);
    for (struct dirent *entry; listing && (entry = readdir(listing));) {
        // A hidden one («.Trash-1000») would hide the entry from whoever looks after a kill.
        if (entry->d_type == DT_REG || entry->d_name[0] == '.')
            continue;
        int subdirectory = openat(newDirectory, entry->d_name,
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (subdirectory < 0)
            continue;
        // The rename itself refuses a subdirectory on another mount (EXDEV) and the entry
        // itself (EINVAL); the next is tried then.
        size_t length = strlen(entry->d_name);
        snprintf(end, TemporaryBytes - directoryLength, "%s/%s.shortcase-renaming-from-parent",
                 entry->d_name, newName);
        *name = end + length + 1;
        if (MoveToTemporary(oldDirectory, oldName, subdirectory, temporary, *name)) {
            closedir(listing);
            return subdirectory;
        }
        close(subdirectory);
    }
    if (listing)
        closedir(listing);
    // A name of one record may be taken, by another entry or by the entry itself
    // («readme.tx~»): then the next is tried.
    *name = end;
    Fail(112);
    for (int attempt = 0; OneRecordName(newName, attempt, end) && attempt <= 9; ++attempt) {
        if (RenameNoReplace(oldDirectory, oldName, newDirectory, end))
            return newDirectory;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    // Not a record free: one line for the whole run, the 112 of each rename that follows
    // names its entry.
    static bool told;
    if (GetLastError() == 112 && !told)
        dprintf(ConsoleDescriptor(), "Directory '%.*s' is full: move one entry out of it, and "
                "shortcase can rename the rest!\n", directoryLength ? (int)directoryLength : 1,
                directoryLength ? temporary : ".");
    told = told || GetLastError() == 112;
    return -1;
}

// Opens the directory part of path, and points *name at the name after it.
static int OpenParent(char *path, const char **name)
{
    char *slash = strrchr(path, '/');
    *name = slash ? slash + 1 : path;
    if (slash)
        *slash = 0;
    int directory = OpenDirectory(!slash ? "." : slash == path ? "/" : path, O_PATH);
    if (slash)
        *slash = '/';
    if (directory < 0)
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno));
    return directory;
}

// A FAT driver keeps a name that differs from an entry's only in case on that entry, and
// renaming to it changes nothing; so the entry goes through a temporary name in the same
// directory, which says what it is to whoever finds it after the process was killed between
// the two steps: «README.TXT.shortcase-renaming». Neither step replaces anything. When the
// second fails, the first is undone; when even that fails, the user is told where the entry
// is. Every step goes through descriptors of the directories, so that another process that
// moves a directory meanwhile cannot part an entry from its temporary name.
static BOOL Move(const WCHAR *from, const WCHAR *to)
{
    if (ImageActive())
        return ImageMove(from, to); // -i: in place, in the image
    static char source[PathBytes], target[PathBytes], temporary[TemporaryBytes];
    if (!LinuxPath(from, source) || !LinuxPath(to, target))
        return FALSE;
    const char *oldName, *newName, *temporaryName;
    int oldDirectory = OpenParent(source, &oldName);
    if (oldDirectory < 0)
        return FALSE;
    int newDirectory = OpenParent(target, &newName);
    BOOL moved = newDirectory >= 0;
    // Where the new name already names another entry, the second step would fail and the
    // undo with it, since the old name, typed in any case, finds that entry too. The lookup
    // finds the first entry that holds the name; another may hold it further on.
    struct stat old, taken;
    if (moved && fstatat(oldDirectory, oldName, &old, AT_SYMLINK_NOFOLLOW) != 0)
        moved = Fail(ErrorFromErrno(errno));
    if (moved && fstatat(newDirectory, newName, &taken, AT_SYMLINK_NOFOLLOW) == 0 &&
        (taken.st_ino != old.st_ino || taken.st_dev != old.st_dev))
        moved = Fail(ERROR_ALREADY_EXISTS);
    int held = moved ? NameHeldByAnother(newDirectory, oldName, newName) : 0;
    if (held)
        moved = held < 0 ? FALSE : Fail(ERROR_ALREADY_EXISTS);
    // A dry run goes as far as a real one can know without renaming: the entries are there
    // and the new name is free. The walk then goes on as if the entry had been renamed.
    if (moved && (Options() & OptionDryRun)) {
        PretendRenamed(from, to);
        Record(u"would rename", from, to);
        close(newDirectory);
        close(oldDirectory);
        return TRUE;
    }

    static const char suffix[] = ".shortcase-renaming";
    size_t length = strlen(target);
    memcpy(temporary, target, length);
    memcpy(temporary + length, suffix, sizeof suffix);
    temporaryName = temporary + (newName - target);
    int temporaryDirectory = newDirectory;
    // A full directory (ENOSPC) has no room for that name: then MoveWithoutRoom finds another.
    if (moved && !MoveToTemporary(oldDirectory, oldName, newDirectory, temporary, temporaryName)) {
        temporaryDirectory = GetLastError() != 112 ? -1 :
            MoveWithoutRoom(oldDirectory, oldName, newDirectory, newName, temporary,
                            (size_t)(newName - target), &temporaryName);
        moved = temporaryDirectory >= 0;
    }
    if (moved && !RenameNoReplace(temporaryDirectory, temporaryName, newDirectory, newName)) {
        DWORD error = GetLastError();
        if (!RenameNoReplace(temporaryDirectory, temporaryName, oldDirectory, oldName))
            dprintf(ConsoleDescriptor(),
                    "'%s' is now named '%s': renaming it back failed with error %u\n", source,
                    temporary, (unsigned)GetLastError());
        moved = Fail(error);
    }
    if (temporaryDirectory >= 0 && temporaryDirectory != newDirectory)
        close(temporaryDirectory);
    if (newDirectory >= 0)
        close(newDirectory);
    close(oldDirectory);
    if (moved && (Options() & OptionVerbose))
        Record(u"renamed", from, to);
    return moved;
}

// A rename that failed counts for the exit status.
BOOL MoveFileW(const WCHAR *from, const WCHAR *to)
{
    BOOL moved = Move(from, to);
    if (!moved)
        NoteFailure(GetLastError());
    return moved;
}

// Where the name ends in what MoveFileW's temporary names end in, the length of SHORT before
// it, and whether the entry belongs in the parent; 0 where the name is no such name.
static size_t LeftoverName(const char *name, bool *up)
{
    static const char suffix[] = ".shortcase-renaming", parent[] = "-from-parent";
    const char *mark = strstr(name, suffix);
    if (!mark || mark == name)
        return 0;
    const char *rest = mark + sizeof suffix - 1;
    *up = strncmp(rest, parent, sizeof parent - 1) == 0;
    if (*up)
        rest += sizeof parent - 1;
    bool numbered = rest[0] == '-' && rest[1] >= '2' && rest[1] <= '9' && !rest[2];
    return !*rest || numbered ? (size_t)(mark - name) : 0;
}

// Writes prefix, then the first length bytes of name as UTF-16, to path (LineUnits units).
static void JoinPath(WCHAR *path, const WCHAR *prefix, size_t prefixUnits, const char *name,
                     size_t length)
{
    memcpy(path, prefix, prefixUnits * sizeof(WCHAR));
    DWORD units = NameToUtf16(name, (DWORD)length, path + prefixUnits,
                              LineUnits - 1 - (DWORD)prefixUnits);
    path[units < LineUnits - prefixUnits ? prefixUnits + units : prefixUnits] = 0;
}

int FinishLeftover(int directory, const WCHAR *prefix, char *name)
{
    bool up;
    size_t length = LeftoverName(name, &up);
    if (!length)
        return LeftoverNone;
    static WCHAR from[LineUnits], to[LineUnits];
    static char fromBytes[PathBytes], toBytes[PathBytes];
    size_t prefixUnits = 0, parentUnits = 0;
    while (prefix[prefixUnits])
        ++prefixUnits;
    // The parent's path: the prefix less its last name, or ".." for a listing of the current
    // directory.
    for (size_t i = 0; i + 1 < prefixUnits; ++i)
        if (prefix[i] == u'\\' || prefix[i] == u'/')
            parentUnits = i + 1;
    JoinPath(from, prefix, prefixUnits, name, strlen(name));
    if (up && prefixUnits == 0)
        JoinPath(to, u"..\\", 3, name, length);
    else
        JoinPath(to, prefix, up ? parentUnits : prefixUnits, name, length);

    int target = up ? openat(directory, "..", O_PATH | O_DIRECTORY | O_CLOEXEC) : directory;
    char shortName[256];
    memcpy(shortName, name, length);
    shortName[length] = 0;
    struct stat taken;
    int result = LeftoverNone;
    if (target < 0 || !LinuxPath(from, fromBytes) || !LinuxPath(to, toBytes)) {
        // Nothing to do for a name that cannot be spelled or a parent that cannot be opened:
        // the entry stays as it is, as any other.
    } else if (fstatat(target, shortName, &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        dprintf(ConsoleDescriptor(), "'%s' was left by a run that was stopped: '%s' is taken, "
                "so it waits for you to rename it\n", fromBytes, toBytes);
        NoteFailure(ERROR_ALREADY_EXISTS);
    } else if (Options() & OptionDryRun) {
        Record(u"would rename", from, to);
    } else if (RenameNoReplace(directory, name, target, shortName)) {
        if (Options() & OptionVerbose)
            Record(u"renamed", from, to);
        name[length] = 0;
        result = up ? LeftoverMovedUp : LeftoverMovedHere;
    } else {
        dprintf(ConsoleDescriptor(), "MoveFile(\"%s\", \"%s\") returned error %u\n",
                fromBytes, toBytes, (unsigned)GetLastError());
        NoteFailure(GetLastError());
    }
    if (up && target >= 0)
        close(target);
    return result;
}
