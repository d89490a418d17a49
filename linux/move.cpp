// Renaming over Linux: MoveFileW in two steps through a temporary name, since a FAT driver
// takes a case-only rename for no rename at all.
#include "linux/linux.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Renames without ever replacing an entry; on failure the last error is set from errno.
static bool RenameNoReplace(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    if (syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, 1 /* RENAME_NOREPLACE */) == 0)
        return true;
    SetLastError(ErrorFromErrno(errno));
    return false;
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
    // A temporary name left by an earlier run that was killed: take the next free one.
    for (int attempt = 2; moved && !RenameNoReplace(oldDirectory, oldName, newDirectory,
                                                    temporaryName); ++attempt) {
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt > 9)
            moved = FALSE;
        snprintf(temporary + length, 32, "%s-%d", suffix, attempt);
    }
    if (moved && !RenameNoReplace(newDirectory, temporaryName, newDirectory, newName)) {
        DWORD error = GetLastError();
        if (!RenameNoReplace(newDirectory, temporaryName, oldDirectory, oldName))
            dprintf(ConsoleDescriptor(),
                    "'%s' is now named '%s': renaming it back failed with error %u\n", source,
                    temporary, (unsigned)GetLastError());
        moved = Fail(error);
    }
    if (newDirectory >= 0)
        close(newDirectory);
    close(oldDirectory);
    if (moved && (Options() & OptionVerbose))
        Record(u"renamed", from, to);
    return moved;
}
