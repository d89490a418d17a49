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
bool OneRecordName(const char *name, char *out)
{
    size_t base = 0, extension = 0, length = 0;
    bool dot = false;
    for (const unsigned char *c = (const unsigned char *)name; *c; ++c) {
        if ((*c & 0xC0) == 0x80)
            continue; // the rest of a character outside ASCII, which gave one '_'
        if (*c == '.' && dot)
            return false;
        if (*c == '.')
            dot = true;
        else if (dot ? ++extension > 3 : ++base > 8)
            return false;
        out[length++] = *c >= 0x80 ? '_' : *c >= 'a' && *c <= 'z' ? (char)(*c - 32) : (char)*c;
    }
    if (!base || (dot && !extension))
        return false;
    out[length - 1] = '~';
    out[length] = 0;
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
// its last component; or -1 with the last error 112, having said once what the user can do.
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
    *name = end;
    if (OneRecordName(newName, end) && RenameNoReplace(oldDirectory, oldName, newDirectory, end))
        return newDirectory;
    // One line for the whole run: the 112 of each rename that follows names its entry.
    static bool told;
    if (!told)
        dprintf(ConsoleDescriptor(), "Directory '%.*s' is full: move one entry out of it, and "
                "shortcase can rename the rest!\n", directoryLength ? (int)directoryLength : 1,
                directoryLength ? temporary : ".");
    told = true;
    Fail(112);
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
BOOL MoveFileW(const WCHAR *from, const WCHAR *to)
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
    // undo with it, since the old name, typed in any case, finds that entry too.
    struct stat old, taken;
    if (moved && fstatat(oldDirectory, oldName, &old, AT_SYMLINK_NOFOLLOW) != 0)
        moved = Fail(ErrorFromErrno(errno));
    if (moved && fstatat(newDirectory, newName, &taken, AT_SYMLINK_NOFOLLOW) == 0 &&
        (taken.st_ino != old.st_ino || taken.st_dev != old.st_dev))
        moved = Fail(ERROR_ALREADY_EXISTS);
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
